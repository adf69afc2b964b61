#include "Text.h"

#include <cstdint>
#include <optional>

namespace qor {
namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

// Decodes one well-formed UTF-8 sequence at the start of `text` (no overlongs, no surrogates).
std::optional<Decoded> decodeAt(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{value, length};
}

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Length of a trailing well-formed sequence ending at `end`, if any.
std::optional<Decoded> decodeBefore(std::string_view text, std::size_t end) {
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        if (auto decoded = decodeAt(text, end - length); decoded && decoded->length == length) {
            return decoded;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto decoded = decodeAt(text, begin);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        begin += decoded->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        auto decoded = decodeBefore(text, end);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        end -= decoded->length;
    }
    return text.substr(begin, end - begin);
}

std::string sanitizeUTF8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (auto decoded = decodeAt(text, at)) {
            result.append(text.substr(at, decoded->length));
            at += decoded->length;
        } else {
            result.append("\xEF\xBF\xBD");
            at += 1;
        }
    }
    return result;
}

}  // namespace qor
