// The source list's order on macOS: Core Foundation's localized, case-insensitive comparison in the
// user's current locale, the comparison behind localizedCaseInsensitiveCompare:.
#include <CoreFoundation/CoreFoundation.h>

#include "SystemCollation.h"

namespace qor {

namespace {

// Owns one Core Foundation reference.
template <typename Reference>
class CFOwned {
  public:
    explicit CFOwned(Reference reference) : reference_(reference) {}
    ~CFOwned() {
        if (reference_ != nullptr) {
            CFRelease(reference_);
        }
    }
    CFOwned(const CFOwned&) = delete;
    CFOwned& operator=(const CFOwned&) = delete;
    Reference get() const { return reference_; }

  private:
    Reference reference_;
};

// Names reach the core as UTF-8 that the workspace layer made from the system's own strings; a
// name that is somehow not UTF-8 is read as Latin-1 rather than dropped from the order.
CFOwned<CFStringRef> makeString(const std::string& text) {
    const auto* bytes = reinterpret_cast<const UInt8*>(text.data());
    const auto length = static_cast<CFIndex>(text.size());
    CFStringRef string =
        CFStringCreateWithBytes(kCFAllocatorDefault, bytes, length, kCFStringEncodingUTF8, false);
    if (string == nullptr) {
        string = CFStringCreateWithBytes(kCFAllocatorDefault, bytes, length,
                                         kCFStringEncodingISOLatin1, false);
    }
    return CFOwned<CFStringRef>(string);
}

}  // namespace

int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) {
    const CFOwned<CFStringRef> first = makeString(a);
    const CFOwned<CFStringRef> second = makeString(b);
    const CFOwned<CFLocaleRef> locale(CFLocaleCopyCurrent());
    const CFComparisonResult order = CFStringCompareWithOptionsAndLocale(
        first.get(), second.get(), CFRangeMake(0, CFStringGetLength(first.get())),
        kCFCompareCaseInsensitive | kCFCompareLocalized, locale.get());
    return order == kCFCompareLessThan ? -1 : order == kCFCompareGreaterThan ? 1 : 0;
}

// The normalisation behind Foundation's precomposedStringWithCanonicalMapping.
std::optional<std::string> canonicalComposition(const std::string& text) {
    const CFOwned<CFStringRef> string(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
    if (string.get() == nullptr) {
        return std::nullopt;
    }
    const CFOwned<CFMutableStringRef> composed(
        CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
    if (composed.get() == nullptr) {
        return std::nullopt;
    }
    CFStringNormalize(composed.get(), kCFStringNormalizationFormC);
    const CFIndex length = CFStringGetLength(composed.get());
    CFIndex bytes = 0;
    CFStringGetBytes(composed.get(), CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     nullptr, 0, &bytes);
    std::string result(static_cast<std::size_t>(bytes), '\0');
    CFStringGetBytes(composed.get(), CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(result.data()), bytes, nullptr);
    return result;
}

}  // namespace qor
