// The capture program's one error type: every failure the host reads as an error code.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace qor {

class HelperError : public std::exception {
  public:
    enum class Kind { invalidArgument, unsupported, coreAudio, runtime };

    static HelperError invalidArgument(std::string message) {
        return {Kind::invalidArgument, std::move(message), 0};
    }
    static HelperError unsupported(std::string message) {
        return {Kind::unsupported, std::move(message), 0};
    }
    static HelperError coreAudio(std::string message, std::int32_t status) {
        return {Kind::coreAudio, std::move(message), status};
    }
    static HelperError runtime(std::string message) {
        return {Kind::runtime, std::move(message), 0};
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The platform status; meaningful for coreAudio only.
    std::int32_t status() const { return status_; }
    // What the host reads: the message, or for a platform status "message:status".
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    HelperError(Kind kind, std::string message, std::int32_t status);

    Kind kind_;
    std::string message_;
    std::int32_t status_;
    std::string description_;
};

}  // namespace qor
