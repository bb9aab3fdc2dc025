#pragma once
// Ownership of CoreFoundation objects: a CFRef holds one reference obtained
// under the Create rule and releases it once.

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <utility>

namespace tarnwick::coreaudio {

template <typename Ref>
class CFRef {
public:
    CFRef() = default;
    explicit CFRef(Ref ref) : ref_(ref) {}
    ~CFRef() { reset(); }
    CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFRef& operator=(CFRef&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }
    CFRef(const CFRef&) = delete;
    CFRef& operator=(const CFRef&) = delete;

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset() {
        // CFRelease(NULL) crashes.
        if (ref_) CFRelease(ref_);
        ref_ = nullptr;
    }

private:
    Ref ref_ = nullptr;
};

// The UTF-8 text of a string; nullopt when it cannot be converted.
std::optional<std::string> utf8Text(CFStringRef string);

// A new string from UTF-8 text; empty when the text is not valid UTF-8.
CFRef<CFStringRef> makeString(const std::string& text);

}  // namespace tarnwick::coreaudio
