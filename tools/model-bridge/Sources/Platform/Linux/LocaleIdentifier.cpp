#include "LocaleIdentifier.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace qor::bridge::local_server {

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlnum(char c) {
    return isAsciiLetter(c) || isAsciiDigit(c);
}

bool allOf(std::string_view s, bool (*test)(char)) {
    return std::all_of(s.begin(), s.end(), test);
}

bool lengthIn(std::string_view s, std::size_t low, std::size_t high) {
    return s.size() >= low && s.size() <= high;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find_first_of(separators, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool isVariant(std::string_view s) {
    return allOf(s, isAsciiAlnum) &&
           (lengthIn(s, 5, 8) || (s.size() == 4 && isAsciiDigit(s.front())));
}

// key=value;key=value, keys and values of letters, digits, '-' and '_' (calendar=japanese-nengo).
bool areKeywords(std::string_view keywords) {
    for (std::string_view pair : split(keywords, ";")) {
        std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            return false;
        }
        std::string_view key = pair.substr(0, equals);
        std::string_view value = pair.substr(equals + 1);
        auto valueChar = [](char c) { return isAsciiAlnum(c) || c == '-' || c == '_'; };
        if (key.empty() || value.empty() || !allOf(key, isAsciiAlnum) ||
            !std::all_of(value.begin(), value.end(), valueChar)) {
            return false;
        }
    }
    return true;
}

// The subtags after the language: script, region, variants, extensions, private use, each only
// in this order.
bool areTrailingSubtags(const std::vector<std::string_view>& subtags) {
    std::size_t i = 1;
    auto at = [&](auto test) { return i < subtags.size() && test(subtags[i]); };
    if (at([](std::string_view s) { return s.size() == 4 && allOf(s, isAsciiLetter); })) {
        ++i;
    }
    if (at([](std::string_view s) {
            return (s.size() == 2 && allOf(s, isAsciiLetter)) ||
                   (s.size() == 3 && allOf(s, isAsciiDigit));
        })) {
        ++i;
    }
    while (at(isVariant)) {
        ++i;
    }
    while (i < subtags.size()) {
        std::string_view singleton = subtags[i];
        if (singleton.size() != 1 || !isAsciiAlnum(singleton.front())) {
            return false;
        }
        bool privateUse = singleton.front() == 'x' || singleton.front() == 'X';
        std::size_t minimum = privateUse ? 1 : 2;
        std::size_t first = ++i;
        while (at([&](std::string_view s) {
            return lengthIn(s, minimum, 8) && allOf(s, isAsciiAlnum);
        })) {
            ++i;
        }
        if (i == first) {
            return false;  // a singleton needs at least one subtag
        }
        if (privateUse && i != subtags.size()) {
            return false;  // private use ends the identifier
        }
    }
    return true;
}

}  // namespace

bool isWellFormedLocaleIdentifier(std::string_view identifier) {
    std::size_t at = identifier.find('@');
    std::string_view tag = identifier.substr(0, at);
    if (at != std::string_view::npos && !areKeywords(identifier.substr(at + 1))) {
        return false;
    }
    std::vector<std::string_view> subtags = split(tag, "-_");
    if (!lengthIn(subtags.front(), 2, 3) || !allOf(subtags.front(), isAsciiLetter)) {
        return false;
    }
    return areTrailingSubtags(subtags);
}

}  // namespace qor::bridge::local_server
