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

struct CodePoint {
    char32_t value;
    std::size_t length;
};

// The character at `at` in well-formed UTF-8 as the Unicode standard defines it (table 3-7): no
// overlong forms, no surrogates, nothing above U+10FFFF. A byte that starts no well-formed
// sequence is one kInvalidByte.
inline CodePoint codePointAt(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    auto continuation = [&](std::size_t i, std::uint8_t low, std::uint8_t high) {
        return i < text.size() && byte(i) >= low && byte(i) <= high;
    };
    const std::uint8_t lead = byte(at);
    std::size_t length = 0;
    if (lead < 0x80) {
        return {lead, 1};
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
        return {kInvalidByte, 1};
    }
    char32_t value = lead & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    return {value, length};
}

// True when `accept` holds for every character (kInvalidByte for each invalid byte).
template <typename Predicate>
bool allCodePoints(std::string_view text, Predicate accept) {
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = codePointAt(text, at);
        if (!accept(c.value)) {
            return false;
        }
        at += c.length;
    }
    return true;
}

inline bool isValidUTF8(std::string_view text) {
    return allCodePoints(text, [](char32_t c) { return c != kInvalidByte; });
}

// The text with every run of invalid bytes and replacement characters folded into one
// replacement character: equal for two texts that differ only in how invalid sequences were
// replaced.
inline std::vector<char32_t> foldReplacements(std::string_view text) {
    std::vector<char32_t> folded;
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint next = codePointAt(text, at);
        at += next.length;
        char32_t c = next.value;
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
    return allCodePoints(text, isWhiteSpace);
}

}  // namespace qor::fuzz
