// The --ws-url check on arbitrary bytes: a URL it accepts is one the sink can connect to as given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CLIOptions.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto url = qor::WebSocketURL::parse(text);
    if (!url) {
        return 0;
    }
    QOR_FUZZ_CHECK(url->text == text);
    QOR_FUZZ_CHECK(url->scheme == "ws" || url->scheme == "wss");
    QOR_FUZZ_CHECK(url->secure() == (url->scheme == "wss"));
    QOR_FUZZ_CHECK(text.find(url->host) != std::string::npos);
    QOR_FUZZ_CHECK(text.find(url->port) != std::string::npos);
    QOR_FUZZ_CHECK(std::all_of(url->port.begin(), url->port.end(),
                               [](char c) { return c >= '0' && c <= '9'; }));
    QOR_FUZZ_CHECK(!url->effectivePort().empty());

    // The request target: path and query exactly as written, never the fragment.
    QOR_FUZZ_CHECK(!url->target.empty() && url->target.front() == '/');
    QOR_FUZZ_CHECK(url->target.find('#') == std::string::npos);
    QOR_FUZZ_CHECK(text.find(url->target) != std::string::npos ||
                   text.find(url->target.substr(1)) != std::string::npos);
    // Host and target go into the opening handshake's request line and Host header.
    for (const std::string* part : {&url->host, &url->target}) {
        QOR_FUZZ_CHECK(
            std::all_of(part->begin(), part->end(), [](char c) { return c > 0x20 && c < 0x7F; }));
    }
    return 0;
}
