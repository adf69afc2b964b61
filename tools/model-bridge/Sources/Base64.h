// Strict base64: decoding the request's images, encoding them again for a model server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::bridge {

// The strict form only: the standard alphabet with '=' padding to a multiple of four characters
// and nothing else, so line breaks, blanks, the URL-safe alphabet or a data-URL header make the
// text invalid. Non-zero bits left over in the last character are accepted, as common decoders
// do.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

std::string encodeBase64(const std::vector<std::uint8_t>& bytes);

}  // namespace qor::bridge
