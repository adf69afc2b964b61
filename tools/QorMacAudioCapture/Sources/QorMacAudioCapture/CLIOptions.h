// The capture program's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HelperError.h"

namespace qor {

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
