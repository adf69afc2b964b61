// The capture program's command line and its one error type.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

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

enum class CaptureSelection { globalOutput, include, exclude };

// A WebSocket URL that the platform's URL parser accepted. `text` is the argument exactly as given.
// Host, port and target are filled where the transport needs them (Linux, from uriparser's RFC 3986
// parse); the system's transport on macOS takes the text itself.
struct WebSocketURL {
    std::string text;
    std::string scheme;  // lower-cased: "ws" or "wss"
    std::string host;    // without brackets for IPv6 literals
    std::string port;    // empty when the URL names none
    std::string target;  // path and query as given, "/" when the path is empty
    bool secure() const { return scheme == "wss"; }
    std::string effectivePort() const { return port.empty() ? (secure() ? "443" : "80") : port; }

    static std::optional<WebSocketURL> parse(const std::string& text);
};

struct CLIOptions {
    bool showCapabilities = false;
    bool listSources = false;
    std::optional<CaptureSelection> selection;
    std::int32_t pid = 0;
    std::vector<std::string> bundleIDs;
    std::vector<std::string> excludedBundleIDs;
    std::optional<WebSocketURL> webSocketURL;

    // Pure: reads no environment and writes nothing. Throws HelperError at the first argument it
    // cannot accept.
    static CLIOptions parse(std::span<const std::string> arguments);
};

}  // namespace qor
