// The image check on Linux: stb's and libwebp's header readers, then their decoders.
#include "ImageCheck.h"

#include <stb_image.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
#include <string_view>

namespace qor::bridge {

namespace {

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix, std::size_t at = 0) {
    return bytes.size() >= at + prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool isWebP(std::span<const std::uint8_t> bytes) {
    return startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8);
}

// The type a model service needs to label the bytes. TGA has no signature; stb recognises it by
// its header fields last of all, so whatever it accepts without another signature is TGA.
std::string mimeTypeOf(std::span<const std::uint8_t> bytes) {
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) {
        return "image/png";
    }
    if (startsWith(bytes, "\xFF\xD8\xFF")) {
        return "image/jpeg";
    }
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) {
        return "image/gif";
    }
    if (startsWith(bytes, "BM")) {
        return "image/bmp";
    }
    if (startsWith(bytes, "8BPS")) {
        return "image/vnd.adobe.photoshop";
    }
    if (startsWith(bytes, "\x53\x80\xF6\x34")) {
        return "image/x-softimage-pic";
    }
    if (startsWith(bytes, "P5") || startsWith(bytes, "P6")) {
        return "image/x-portable-anymap";
    }
    if (startsWith(bytes, "#?RADIANCE\n") || startsWith(bytes, "#?RGBE\n")) {
        return "image/vnd.radiance";
    }
    return "image/x-tga";
}

// The whole image decodes: a header in front of missing or broken data is no image. Only called
// within the size limits, which bound what the decoder allocates.
bool decodesWhole(std::span<const std::uint8_t> bytes, bool webP) {
    int width = 0;
    int height = 0;
    if (webP) {
        std::uint8_t* pixels = WebPDecodeRGBA(bytes.data(), bytes.size(), &width, &height);
        WebPFree(pixels);
        return pixels != nullptr;
    }
    int components = 0;
    stbi_uc* pixels = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width,
                                            &height, &components, 0);
    stbi_image_free(pixels);
    return pixels != nullptr;
}

}  // namespace

std::optional<ImageInfo> inspectImage(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    ImageInfo info;
    if (isWebP(bytes)) {
        if (!WebPGetInfo(bytes.data(), bytes.size(), &info.width, &info.height)) {
            return std::nullopt;
        }
        info.mimeType = "image/webp";
    } else {
        int components = 0;
        if (!stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &info.width,
                                   &info.height, &components)) {
            return std::nullopt;
        }
        info.mimeType = mimeTypeOf(bytes);
    }
    if (!withinImageLimits(info.width, info.height) || !decodesWhole(bytes, isWebP(bytes))) {
        return std::nullopt;
    }
    return info;
}

}  // namespace qor::bridge
