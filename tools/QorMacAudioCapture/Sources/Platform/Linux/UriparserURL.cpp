// WebSocket URLs on Linux: uriparser's RFC 3986 parse, with the parts the Beast transport needs.
#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <string_view>

#include "CLIOptions.h"

namespace qor {

namespace {

std::string rangeText(const UriTextRangeA& range) {
    if (range.first == nullptr || range.afterLast == nullptr) {
        return {};
    }
    return std::string(range.first, range.afterLast);
}

}  // namespace

std::optional<WebSocketURL> WebSocketURL::parse(const std::string& text) {
    UriUriA uri;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) !=
        URI_SUCCESS) {
        return std::nullopt;
    }
    std::unique_ptr<UriUriA, void (*)(UriUriA*)> owner(&uri, uriFreeUriMembersA);

    WebSocketURL url;
    url.text = text;
    url.scheme = rangeText(uri.scheme);
    std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (url.scheme != "ws" && url.scheme != "wss") {
        return std::nullopt;
    }
    url.host = rangeText(uri.hostText);
    url.port = rangeText(uri.portText);

    // Path and query run from the end of the authority to the fragment, exactly as written. The
    // parser points the range of an empty host ("ws:///p") at a static string of its own, so only
    // positions inside the text may bound them.
    const char* const textEnd = text.data() + text.size();
    auto inText = [&](const char* position) {
        return position != nullptr && std::less_equal<const char*>{}(text.data(), position) &&
               std::less_equal<const char*>{}(position, textEnd);
    };
    const char* begin = text.data() + url.scheme.size() + 1;
    if (inText(uri.portText.afterLast)) {
        begin = uri.portText.afterLast;
    } else if (inText(uri.hostText.afterLast)) {
        begin = uri.hostText.afterLast;
        if (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr) {
            ++begin;  // the closing bracket
        }
    } else if (std::string_view(begin, textEnd).starts_with("//")) {
        begin += 2;  // an empty authority
    }
    const char* end = textEnd;
    if (inText(uri.fragment.first)) {
        end = uri.fragment.first - 1;
    }
    url.target = begin < end ? std::string(begin, end) : std::string();
    if (url.target.empty() || url.target.front() != '/') {
        url.target.insert(url.target.begin(), '/');
    }
    return url;
}

}  // namespace qor
