// The capture program's command line: argument vectors of arbitrary bytes, split on NUL as the
// kernel hands them over. Parsing either returns a record that keeps its invariants or throws the
// program's own error; anything else is a fault.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CLIOptions.h"
#include "FuzzSupport.h"

namespace {

using qor::CLIOptions;
using qor::HelperError;

std::vector<std::string> splitOnNul(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    if (size == 0) {
        return arguments;
    }
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;
    for (const char* at = begin;;) {
        const char* nul = std::find(at, end, '\0');
        arguments.emplace_back(at, nul);
        if (nul == end) {
            break;
        }
        at = nul + 1;
    }
    return arguments;
}

bool given(const std::vector<std::string>& arguments, const std::string& value) {
    return std::find(arguments.begin(), arguments.end(), value) != arguments.end();
}

void checkRecord(const CLIOptions& options, const std::vector<std::string>& arguments) {
    QOR_FUZZ_CHECK(options.pid == 0 || (options.pid >= 1 && options.pid <= INT32_MAX));
    QOR_FUZZ_CHECK(options.pid == 0 || given(arguments, "--pid"));
    for (const auto* ids : {&options.bundleIDs, &options.excludedBundleIDs}) {
        for (const std::string& id : *ids) {
            QOR_FUZZ_CHECK(!qor::fuzz::isBlank(id));
            QOR_FUZZ_CHECK(given(arguments, id));
        }
    }
    QOR_FUZZ_CHECK(options.bundleIDs.empty() || given(arguments, "--bundle-id"));
    QOR_FUZZ_CHECK(options.excludedBundleIDs.empty() || given(arguments, "--exclude-bundle-id"));
    QOR_FUZZ_CHECK(!options.showCapabilities || given(arguments, "--capabilities"));
    QOR_FUZZ_CHECK(!options.listSources || given(arguments, "--list-sources"));
    if (const auto& url = options.webSocketURL) {
        QOR_FUZZ_CHECK(url->scheme == "ws" || url->scheme == "wss");
        QOR_FUZZ_CHECK(given(arguments, url->text));
        QOR_FUZZ_CHECK(!url->target.empty() && url->target.front() == '/');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> arguments = splitOnNul(data, size);
    try {
        checkRecord(CLIOptions::parse(arguments), arguments);
    } catch (const HelperError& error) {
        // Only the two kinds the parser owns, each with a reason the host can read.
        QOR_FUZZ_CHECK(error.kind() == HelperError::Kind::invalidArgument ||
                       error.kind() == HelperError::Kind::unsupported);
        QOR_FUZZ_CHECK(!error.description().empty());
        QOR_FUZZ_CHECK(error.description() == error.message());
    }
    return 0;
}
