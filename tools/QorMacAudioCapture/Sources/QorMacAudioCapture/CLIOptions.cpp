#include "CLIOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <memory>
#include <string_view>

#include "Text.h"

namespace qor {

namespace {

// "+42", "0042" and "-7" convert; blanks, radix prefixes and anything else do not.
std::optional<std::int32_t> parseDecimalInt32(const std::string& value) {
    std::string_view digits = value;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (char c : digits) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > std::int64_t{2147483648}) {
            return std::nullopt;
        }
    }
    const std::int64_t number = negative ? -magnitude : magnitude;
    if (number > INT32_MAX || number < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
}

bool isBlank(const std::string& value) {
    return trimWhitespaceAndNewlines(value).empty();
}

// No port (the scheme's own), or a TCP port: 1 to 65535 in decimal digits. A parser may take a
// larger number, which a socket address would silently cut to 16 bits.
bool hasUsablePort(const WebSocketURL& url) {
    if (url.port.empty()) {
        return true;
    }
    const bool digitFirst = url.port.front() >= '0' && url.port.front() <= '9';
    const auto port = digitFirst ? parseDecimalInt32(url.port) : std::nullopt;
    return port && *port >= 1 && *port <= 65535;
}

}  // namespace

CLIOptions CLIOptions::parse(std::span<const std::string> arguments) {
    CLIOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](const char* failure) -> const std::string& {
            if (++i == arguments.size()) {
                throw HelperError::invalidArgument(failure);
            }
            return arguments[i];
        };

        if (argument == "--capabilities") {
            options.showCapabilities = true;
        } else if (argument == "--list-sources") {
            options.listSources = true;
        } else if (argument == "--output-loopback") {
            options.selection = CaptureSelection::globalOutput;
        } else if (argument == "--include-tree") {
            options.selection = CaptureSelection::include;
        } else if (argument == "--exclude-tree") {
            options.selection = CaptureSelection::exclude;
        } else if (argument == "--pid") {
            auto pid = parseDecimalInt32(value("pid_required"));
            if (!pid || *pid < 1) {
                throw HelperError::invalidArgument("pid_required");
            }
            options.pid = *pid;
        } else if (argument == "--bundle-id") {
            const std::string& bundleID = value("bundle_id_required");
            if (isBlank(bundleID)) {
                throw HelperError::invalidArgument("bundle_id_required");
            }
            options.bundleIDs.push_back(bundleID);
        } else if (argument == "--exclude-bundle-id") {
            const std::string& bundleID = value("exclude_bundle_id_required");
            if (isBlank(bundleID)) {
                throw HelperError::invalidArgument("exclude_bundle_id_required");
            }
            options.excludedBundleIDs.push_back(bundleID);
        } else if (argument == "--ws-url") {
            auto url = WebSocketURL::parse(value("websocket_url_invalid"));
            if (!url || !hasUsablePort(*url)) {
                throw HelperError::invalidArgument("websocket_url_invalid");
            }
            options.webSocketURL = std::move(url);
        } else if (argument == "--session-volume-get" || argument == "--session-volume-set" ||
                   argument == "--microphone" || argument == "--microphone-device-id") {
            throw HelperError::unsupported("unsupported_on_platform");
        } else {
            throw HelperError::invalidArgument("unknown_argument:" + argument);
        }
    }
    return options;
}

}  // namespace qor
