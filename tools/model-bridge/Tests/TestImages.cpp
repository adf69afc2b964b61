#include "TestImages.h"

#include <stb_image_write.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace qor::bridge::testing {

namespace {

void put32be(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

void put16le(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32le(Bytes& out, std::uint32_t v) {
    put16le(out, v & 0xFFFF);
    put16le(out, v >> 16);
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void pngChunk(Bytes& out, const char* type, const Bytes& data) {
    put32be(out, static_cast<std::uint32_t>(data.size()));
    std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32be(out, crc32(out.data() + start, out.size() - start));
}

Bytes pngStart(std::uint32_t width, std::uint32_t height) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    put32be(header, width);
    put32be(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, no interlace
    pngChunk(out, "IHDR", header);
    return out;
}

// zlib stream of stored (uncompressed) deflate blocks.
Bytes zlibStored(const Bytes& raw) {
    Bytes out = {0x78, 0x01};
    std::size_t offset = 0;
    do {
        std::size_t length = std::min<std::size_t>(raw.size() - offset, 65535);
        bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        put16le(out, static_cast<std::uint32_t>(length));
        put16le(out, static_cast<std::uint32_t>(~length & 0xFFFF));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                   raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32be(out, (b << 16) | a);
    return out;
}

}  // namespace

Bytes pngImage(std::uint32_t width, std::uint32_t height) {
    Bytes out = pngStart(width, height);
    Bytes raw;
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);  // filter: none
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t level = static_cast<std::uint8_t>((x * 255) / (width > 1 ? width - 1 : 1));
            raw.insert(raw.end(), {level, static_cast<std::uint8_t>(255 - level),
                                   static_cast<std::uint8_t>(y * 7)});
        }
    }
    pngChunk(out, "IDAT", zlibStored(raw));
    pngChunk(out, "IEND", {});
    return out;
}

Bytes pngHeaderOnly(std::uint32_t width, std::uint32_t height) {
    Bytes out = pngStart(width, height);
    pngChunk(out, "IEND", {});
    return out;
}

Bytes gifImage() {
    static const std::uint8_t kGif[] = {'G',  'I',  'F',  '8',  '9',  'a',  0x01, 0x00, 0x01,
                                        0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                        0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                        0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    return Bytes(std::begin(kGif), std::end(kGif));
}

Bytes bmpImage(std::uint32_t width, std::uint32_t height) {
    std::uint32_t rowSize = (width * 3 + 3) & ~3u;
    std::uint32_t pixelBytes = rowSize * height;
    Bytes out = {'B', 'M'};
    put32le(out, 54 + pixelBytes);
    put32le(out, 0);
    put32le(out, 54);
    put32le(out, 40);
    put32le(out, width);
    put32le(out, height);
    put16le(out, 1);
    put16le(out, 24);
    put32le(out, 0);
    put32le(out, pixelBytes);
    put32le(out, 2835);
    put32le(out, 2835);
    put32le(out, 0);
    put32le(out, 0);
    out.resize(out.size() + pixelBytes, 0x80);
    return out;
}

Bytes jpegHeader(std::uint16_t width, std::uint16_t height) {
    Bytes out = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08};
    out.push_back(static_cast<std::uint8_t>(height >> 8));
    out.push_back(static_cast<std::uint8_t>(height));
    out.push_back(static_cast<std::uint8_t>(width >> 8));
    out.push_back(static_cast<std::uint8_t>(width));
    out.insert(out.end(), {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    return out;
}

Bytes webpLosslessHeader(std::uint32_t width, std::uint32_t height) {
    std::uint32_t bits = ((width - 1) & 0x3FFF) | (((height - 1) & 0x3FFF) << 14);
    Bytes payload = {0x2F};
    put32le(payload, bits);
    payload.resize(payload.size() + 16, 0);
    Bytes out = {'R', 'I', 'F', 'F'};
    put32le(out, static_cast<std::uint32_t>(4 + 8 + payload.size()));
    out.insert(out.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
    put32le(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

namespace {
Bytes greyPixels(int width, int height, int components) {
    Bytes pixels(static_cast<std::size_t>(width * height * components));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 13);
    }
    return pixels;
}
}  // namespace

Bytes jpegImage(int width, int height) {
    Bytes out;
    const Bytes pixels = greyPixels(width, height, 3);
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) {
            auto* bytes = static_cast<std::uint8_t*>(data);
            static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes,
                                                 bytes + size);
        },
        &out, width, height, 3, pixels.data(), 90);
    return out;
}

Bytes webpImage(int width, int height) {
    const Bytes pixels = greyPixels(width, height, 3);
    std::uint8_t* encoded = nullptr;
    const std::size_t size =
        WebPEncodeLosslessRGB(pixels.data(), width, height, width * 3, &encoded);
    Bytes out(encoded, encoded + size);
    WebPFree(encoded);
    return out;
}

Bytes bytesOf(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

}  // namespace qor::bridge::testing
