#pragma once

#include <cstdint>
#include <vector>

namespace qor::bridge::testing {

using Bytes = std::vector<std::uint8_t>;

// A complete, decodable RGB PNG of a grey gradient (stored deflate blocks, real CRCs).
Bytes pngImage(std::uint32_t width, std::uint32_t height);
// Only the signature, the header chunk and the end chunk: enough for a header check, with any
// claimed size.
Bytes pngHeaderOnly(std::uint32_t width, std::uint32_t height);
Bytes gifImage();  // 1x1
Bytes bmpImage(std::uint32_t width, std::uint32_t height);
Bytes jpegHeader(std::uint16_t width, std::uint16_t height);  // start of image and frame header
Bytes webpLosslessHeader(std::uint32_t width, std::uint32_t height);
// Whole images from stb's and libwebp's encoders.
Bytes jpegImage(int width, int height);
Bytes webpImage(int width, int height);

Bytes bytesOf(const char* text);

}  // namespace qor::bridge::testing
