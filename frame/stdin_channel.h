#pragma once
// Standard input as the parent's control channel: end of input stops the
// program; the system-audio program also takes "record" and "idle" lines.

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "frame/kit/function_ref.h"

namespace tarnwick {

// The system-audio program's recording flag, true from process start. The
// only lock on any capture path: held for a single load or load-and-store.
class RecordGate {
public:
    bool read() {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // Stores `value`; returns the value it replaced.
    bool exchange(bool value) {
        std::lock_guard lock(mutex_);
        bool old = value_;
        value_ = value;
        return old;
    }

private:
    std::mutex mutex_;
    bool value_ = true;
};

RecordGate& recordGate();

// UTF-8 with every invalid sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);

// Removes white space and line breaks from both ends: Unicode category Z,
// U+0009..U+000D and U+0085. Input must be valid UTF-8.
std::string trimWhitespace(std::string_view text);

// Splits the byte stream into lines at each line feed, repairs and trims
// them. Holds at most 4096 bytes of an unterminated line between feeds.
class LineSplitter {
public:
    void feed(const char* data, std::size_t length, kit::FunctionRef<void(const std::string&)> onLine);
    std::size_t pending() const { return pending_.size(); }

private:
    std::vector<char> pending_;
};

// Applies one trimmed line to recordGate() and logs what changed.
void handleCommand(const std::string& line);

// Thread bodies for the two programs. They read file descriptor 0.
void micStdinReader();
void sysStdinReader();

}  // namespace tarnwick
