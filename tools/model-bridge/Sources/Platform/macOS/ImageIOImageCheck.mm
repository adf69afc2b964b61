// The image check on macOS: ImageIO reads the header (type, pixel size) of every format the system
// decodes. The size limits are the same as on every platform.
#import <Foundation/Foundation.h>
#import <ImageIO/ImageIO.h>

#include <climits>
#include <string_view>
#include <utility>

#include "ImageCheck.h"

namespace qor::bridge {

namespace {

bool readInt(CFDictionaryRef properties, CFStringRef key, int& value) {
    const auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(properties, key));
    return number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID() &&
           CFNumberGetValue(number, kCFNumberIntType, &value);
}

// A MIME type for the image's type identifier, for a backend that labels the bytes (the on-device
// model takes the decoded image and needs none): the common ones by name, the rest generic.
std::string mimeTypeOf(CGImageSourceRef source) {
    static constexpr std::pair<std::string_view, std::string_view> known[] = {
        {"public.png", "image/png"},
        {"public.jpeg", "image/jpeg"},
        {"com.compuserve.gif", "image/gif"},
        {"com.microsoft.bmp", "image/bmp"},
        {"public.tiff", "image/tiff"},
        {"public.heic", "image/heic"},
        {"public.heif", "image/heif"},
        {"public.jpeg-2000", "image/jp2"},
        {"org.webmproject.webp", "image/webp"},
        {"public.avif", "image/avif"},
    };
    NSString* identifier = (__bridge NSString*)CGImageSourceGetType(source);
    const char* text = identifier.UTF8String;
    const std::string_view name = text != nullptr ? text : "";
    for (const auto& [uti, mime] : known) {
        if (uti == name) {
            return std::string(mime);
        }
    }
    return "application/octet-stream";
}

}  // namespace

std::optional<ImageInfo> inspectImage(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    @autoreleasepool {
        // The bytes outlive the source: no copy.
        NSData* data = [NSData dataWithBytesNoCopy:const_cast<std::uint8_t*>(bytes.data())
                                            length:bytes.size()
                                      freeWhenDone:NO];
        CGImageSourceRef source = CGImageSourceCreateWithData((__bridge CFDataRef)data, nullptr);
        if (source == nullptr) {
            return std::nullopt;
        }
        std::optional<ImageInfo> info;
        CFDictionaryRef properties = CGImageSourceCopyPropertiesAtIndex(source, 0, nullptr);
        ImageInfo candidate;
        if (properties != nullptr &&
            readInt(properties, kCGImagePropertyPixelWidth, candidate.width) &&
            readInt(properties, kCGImagePropertyPixelHeight, candidate.height) &&
            withinImageLimits(candidate.width, candidate.height)) {
            candidate.mimeType = mimeTypeOf(source);
            info = std::move(candidate);
        }
        if (properties != nullptr) {
            CFRelease(properties);
        }
        CFRelease(source);
        return info;
    }
}

}  // namespace qor::bridge
