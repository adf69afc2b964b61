// Whether a request's image bytes are an image worth passing to the model.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qor::bridge {

struct ImageInfo {
    std::string mimeType;
    int width = 0;
    int height = 0;
};

// A header claiming more than this is refused rather than handed to a model service that would
// try to allocate it: such files are broken or crafted, never a photo or a screenshot.
inline constexpr int kMaxImageSide = 32768;
inline constexpr std::int64_t kMaxImagePixels = std::int64_t{1} << 28;

inline bool withinImageLimits(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           std::int64_t{width} * height <= kMaxImagePixels;
}

// Decides whether the bytes are an image we can pass on, and which, with the platform's image
// decoder. On Linux stb and libwebp (PNG, JPEG, GIF, BMP, PSD, TGA, HDR, PIC, PNM, WebP) read the
// header, and an image within the limits is then decoded whole, so a header in front of truncated
// or missing data is refused. On macOS ImageIO reads the header (every format the system decodes,
// HEIC, TIFF and JPEG 2000 among them), and the model backend decodes the image itself. One
// definition per platform.
std::optional<ImageInfo> inspectImage(std::span<const std::uint8_t> bytes);

}  // namespace qor::bridge
