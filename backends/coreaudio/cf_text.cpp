#include <cstring>
#include <memory>
#include <new>

#include "backends/coreaudio/cf_ref.h"

namespace tarnwick::coreaudio {

std::optional<std::string> utf8Text(CFStringRef string) {
    if (string == nullptr) return std::nullopt;
    // The length is in UTF-16 units; the maximum size says how many bytes
    // those can take in UTF-8, without the terminating zero.
    const CFIndex maximum = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    if (maximum == kCFNotFound || maximum < 0) return std::nullopt;
    const CFIndex capacity = maximum + 1;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(capacity)]);
    if (!buffer) return std::nullopt;
    if (!CFStringGetCString(string, buffer.get(), capacity, kCFStringEncodingUTF8)) return std::nullopt;
    return std::string(buffer.get(), std::strlen(buffer.get()));
}

CFRef<CFStringRef> makeString(const std::string& text) {
    // An embedded zero would silently cut the text short.
    if (text.find('\0') != std::string::npos) return CFRef<CFStringRef>();
    return CFRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

}  // namespace tarnwick::coreaudio
