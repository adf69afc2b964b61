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

// Decides from the header alone, as the image libraries do, whether the bytes are an image we can
// pass on (PNG, JPEG, GIF, BMP, PSD, TGA, HDR, PIC, PNM, WebP), and which. The pixels are never
// decoded.
std::optional<ImageInfo> inspectImage(std::span<const std::uint8_t> bytes);

}  // namespace qor::bridge
