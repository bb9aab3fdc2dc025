#pragma once
// String references handed out for 'uid ' and 'lnam': each read makes a new
// owned reference that the reader releases. Unknown or already released
// references are refused rather than dereferenced.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tarnwick::model {

class StringRefs {
public:
    // A new reference and its number (for the trace: str#N).
    std::pair<const void*, std::uint64_t> make(std::string text);
    // The text and number of a live reference.
    std::optional<std::pair<std::string, std::uint64_t>> lookup(const void* ref) const;
    // The number of the reference it released; nullopt when it was not live.
    std::optional<std::uint64_t> release(const void* ref);

private:
    struct Entry {
        std::string text;
        std::uint64_t number;
    };

    mutable std::mutex mutex_;
    std::unordered_map<const void*, std::unique_ptr<Entry>> live_;
    std::uint64_t next_ = 1;
};

}  // namespace tarnwick::model
