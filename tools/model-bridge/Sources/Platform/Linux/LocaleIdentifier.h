// Which locale identifiers the local server backend accepts.
#pragma once

#include <string_view>

namespace qor::bridge::local_server {

// A local model server does not say which languages its model speaks, and the models it serves
// are multilingual; so every well-formed locale identifier counts as supported. Well-formed, ASCII
// and case-insensitive, subtags separated by '-' or '_':
//
//   language      2-3 letters                       en, fil
//   [script]      4 letters                         Hant
//   [region]      2 letters or 3 digits             US, 419
//   [variant]...  5-8 letters/digits, or a digit and 3 letters/digits     POSIX, 1901
//   [extension]   a singleton other than x, then subtags of 2-8 letters/digits   u-ca-buddhist
//   [private use] x, then subtags of 1-8 letters/digits                  x-work
//   [@keywords]   Apple/ICU keywords: '@' key=value pairs joined by ';'  @rg=gbzzzz
//
// Anything else, including an empty identifier, is not supported.
bool isWellFormedLocaleIdentifier(std::string_view identifier);

}  // namespace qor::bridge::local_server
