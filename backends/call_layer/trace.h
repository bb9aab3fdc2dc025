#pragma once
// The call trace: one line per boundary call, "CALL[ ARGS] -> STATUS[ RESULT]",
// each appended whole with a single write() to a file opened for appending,
// so that lines from concurrent threads (and processes) never interleave.

#include <memory>
#include <string>
#include <string_view>

#include "frame/audio/platform_types.h"

namespace tarnwick::call_layer {

class Trace {
public:
    // A disabled trace: every call is a no-op.
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Opens (creating when needed) the file at `path` for appending; throws
    // std::system_error when it cannot.
    static std::unique_ptr<Trace> openFile(const std::string& path);

    bool enabled() const noexcept { return fd_ >= 0; }

    // Appends "name[ args] -> status[ result]". Args and result are made safe
    // for the format first (no line breaks, no " -> ").
    void call(std::string_view name, std::string_view args, OSStatus status, std::string_view result) const;

    // Appends one line as given (without its line feed).
    void line(std::string_view text) const;

    // printf-style formatting into a stack buffer: for real-time paths, which
    // must not allocate even while tracing. Long lines are cut.
    void linef(const char* format, ...) const noexcept __attribute__((format(printf, 2, 3)));

private:
    void append(const char* data, std::size_t size) const noexcept;

    int fd_ = -1;
};

// Text made safe for a trace field: line breaks become spaces and " -> "
// becomes " -\u003e " (which leaves JSON text valid JSON with the same value).
std::string traceSafe(std::string_view text);

// Common renderings used in trace arguments.
std::string fourCCText(UInt32 code);  // 'nsrt', or the number when not printable
std::string quotedText(std::string_view text);  // as a JSON string

}  // namespace tarnwick::call_layer
