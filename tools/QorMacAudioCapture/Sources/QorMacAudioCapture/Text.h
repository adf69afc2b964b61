// Small text helpers shared by the command line and the source list.
#pragma once

#include <string>
#include <string_view>

namespace qor {

// Removes white space and line breaks (the Unicode White_Space set: separators Z*, U+0009-U+000D
// and U+0085) from both ends. Bytes that are not valid UTF-8 are never trimmed.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitizeUTF8(std::string_view text);

}  // namespace qor
