// What the fuzz targets share: a failing check that libFuzzer records as a crash, and an
// independent UTF-8 reader, so the oracles never lean on the code they judge.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

// Unlike assert(), stays in release builds.
#define QOR_FUZZ_CHECK(condition)                              \
    do {                                                       \
        if (!(condition)) {                                    \
            ::qor::fuzz::fail(#condition, __FILE__, __LINE__); \
        }                                                      \
    } while (false)

inline constexpr char32_t kReplacement = 0xFFFD;
// Stands for one invalid byte in decoded text; no code point has this value.
inline constexpr char32_t kInvalidByte = 0xFFFFFFFF;

// Well-formed UTF-8 as the Unicode standard defines it (table 3-7): no overlong forms, no
// surrogates, nothing above U+10FFFF. Each byte that starts no well-formed sequence becomes one
// kInvalidByte.
inline std::vector<char32_t> decodeUTF8(std::string_view text) {
    std::vector<char32_t> result;
    std::size_t at = 0;
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    auto continuation = [&](std::size_t i, std::uint8_t low, std::uint8_t high) {
        return i < text.size() && byte(i) >= low && byte(i) <= high;
    };
    while (at < text.size()) {
        const std::uint8_t lead = byte(at);
        std::size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = continuation(at + 1, 0x80, 0xBF) ? 2 : 0;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            const std::uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
            const std::uint8_t high = lead == 0xED ? 0x9F : 0xBF;
            length = continuation(at + 1, low, high) && continuation(at + 2, 0x80, 0xBF) ? 3 : 0;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            const std::uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
            const std::uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
            length = continuation(at + 1, low, high) && continuation(at + 2, 0x80, 0xBF) &&
                             continuation(at + 3, 0x80, 0xBF)
                         ? 4
                         : 0;
        }
        if (length == 0) {
            result.push_back(kInvalidByte);
            ++at;
            continue;
        }
        char32_t value = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t i = 1; i < length; ++i) {
            value = (value << 6) | (byte(at + i) & 0x3F);
        }
        result.push_back(value);
        at += length;
    }
    return result;
}

inline bool isValidUTF8(std::string_view text) {
    for (char32_t c : decodeUTF8(text)) {
        if (c == kInvalidByte) {
            return false;
        }
    }
    return true;
}

// The text with every run of invalid bytes and replacement characters folded into one
// replacement character: equal for two texts that differ only in how invalid sequences were
// replaced.
inline std::vector<char32_t> foldReplacements(std::string_view text) {
    std::vector<char32_t> folded;
    for (char32_t c : decodeUTF8(text)) {
        if (c == kInvalidByte) {
            c = kReplacement;
        }
        if (c == kReplacement && !folded.empty() && folded.back() == kReplacement) {
            continue;
        }
        folded.push_back(c);
    }
    return folded;
}

// The Unicode White_Space property.
inline bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Nothing but white space (an empty text included); invalid bytes are never white space.
inline bool isBlank(std::string_view text) {
    for (char32_t c : decodeUTF8(text)) {
        if (!isWhiteSpace(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace qor::fuzz
