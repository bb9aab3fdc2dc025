#pragma once
// The one error of both engines' start sequences: its text becomes the log
// line and `noIO` selects exit status 3 ("the audio system is not running IO").

#include <exception>
#include <string>

namespace tarnwick {

class CaptureError : public std::exception {
public:
    explicit CaptureError(std::string description, bool noIO = false)
        : description_(std::move(description)), noIO_(noIO) {}

    const std::string& description() const noexcept { return description_; }
    bool noIO() const noexcept { return noIO_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
    bool noIO_;
};

}  // namespace tarnwick
