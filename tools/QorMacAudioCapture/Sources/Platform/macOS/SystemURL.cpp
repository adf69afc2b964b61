// WebSocket URLs on macOS: the system's URL parser (Core Foundation's, under NSURL). The URL
// session's transport takes the text itself, so only the scheme and the port are read from the
// parse.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "CLIOptions.h"

namespace qor {

std::optional<WebSocketURL> WebSocketURL::parse(const std::string& text) {
    CFURLRef parsed =
        CFURLCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                             static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, nullptr);
    if (parsed == nullptr) {
        return std::nullopt;
    }
    WebSocketURL url;
    url.text = text;
    // The port as written, for the core's range check; the system parser takes any digits.
    const CFRange port = CFURLGetByteRangeForComponent(parsed, kCFURLComponentPort, nullptr);
    if (port.location != kCFNotFound && port.length > 0) {
        std::vector<UInt8> bytes(static_cast<std::size_t>(CFURLGetBytes(parsed, nullptr, 0)));
        CFURLGetBytes(parsed, bytes.data(), static_cast<CFIndex>(bytes.size()));
        if (port.location + port.length <= static_cast<CFIndex>(bytes.size())) {
            url.port.assign(bytes.begin() + port.location,
                            bytes.begin() + port.location + port.length);
        }
    }
    CFStringRef scheme = CFURLCopyScheme(parsed);
    CFRelease(parsed);
    if (scheme != nullptr) {
        char buffer[16] = {};
        if (CFStringGetCString(scheme, buffer, sizeof buffer, kCFStringEncodingUTF8)) {
            url.scheme = buffer;
        }
        CFRelease(scheme);
    }
    std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (url.scheme != "ws" && url.scheme != "wss") {
        return std::nullopt;
    }
    return url;
}

}  // namespace qor
