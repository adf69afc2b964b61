// The Linux canonical composition of bundle identifiers: ICU, loaded only when an identifier is not
// plain ASCII.
#include <dlfcn.h>

// Only ICU's C interface: it is called through pointers looked up at run time.
#define U_SHOW_CPLUSPLUS_API 0
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <optional>
#include <string>
#include <vector>

#include "SystemCollation.h"

namespace qor {

namespace {

// ICU's entry points carry the library's version in their names (unorm2_normalize is
// unorm2_normalize_72): the headers' renaming macros give the exact symbol to look up.
#define QOR_ICU_SYMBOL_TEXT(name) #name
#define QOR_ICU_SYMBOL(name) QOR_ICU_SYMBOL_TEXT(name)

// Loaded on first use only, like the collation of the source list: a capture whose bundle
// identifiers are plain ASCII never maps ICU. The normaliser lives in ICU's common library, which
// the i18n library depends on, so the one library name reaches both. Built once, by whichever
// thread normalises first; never unloaded.
class Normalizer {
  public:
    static const Normalizer& shared() {
        static const Normalizer normalizer;
        return normalizer;
    }

    std::optional<std::string> compose(const std::string& text) const {
        if (nfc_ == nullptr || text.size() > INT32_MAX / 4) {
            return std::nullopt;
        }
        UErrorCode status = U_ZERO_ERROR;
        std::vector<UChar> utf16(text.size() + 1);
        std::int32_t utf16Length = 0;
        fromUTF8_(utf16.data(), static_cast<std::int32_t>(utf16.size()), &utf16Length, text.data(),
                  static_cast<std::int32_t>(text.size()), &status);
        if (U_FAILURE(status)) {
            return std::nullopt;
        }
        // Composition never makes a text longer than three times its length in UTF-16 units.
        std::vector<UChar> composed(3 * static_cast<std::size_t>(utf16Length) + 1);
        const std::int32_t composedLength =
            normalize_(nfc_, utf16.data(), utf16Length, composed.data(),
                       static_cast<std::int32_t>(composed.size()), &status);
        if (U_FAILURE(status)) {
            return std::nullopt;
        }
        std::string result(3 * static_cast<std::size_t>(composedLength) + 1, '\0');
        std::int32_t resultLength = 0;
        toUTF8_(result.data(), static_cast<std::int32_t>(result.size()), &resultLength,
                composed.data(), composedLength, &status);
        if (U_FAILURE(status)) {
            return std::nullopt;
        }
        result.resize(static_cast<std::size_t>(resultLength));
        return result;
    }

  private:
    Normalizer() {
        void* library = dlopen(QOR_ICU_I18N_LIBRARY, RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            return;
        }
        const auto instance = lookup<decltype(&unorm2_getNFCInstance)>(
            library, QOR_ICU_SYMBOL(unorm2_getNFCInstance));
        normalize_ = lookup<decltype(&unorm2_normalize)>(library, QOR_ICU_SYMBOL(unorm2_normalize));
        fromUTF8_ = lookup<decltype(&u_strFromUTF8)>(library, QOR_ICU_SYMBOL(u_strFromUTF8));
        toUTF8_ = lookup<decltype(&u_strToUTF8)>(library, QOR_ICU_SYMBOL(u_strToUTF8));
        if (!instance || !normalize_ || !fromUTF8_ || !toUTF8_) {
            return;
        }
        UErrorCode status = U_ZERO_ERROR;
        const UNormalizer2* nfc = instance(&status);
        if (U_SUCCESS(status)) {
            nfc_ = nfc;
        }
    }

    template <typename Function>
    static Function lookup(void* library, const char* name) {
        return reinterpret_cast<Function>(dlsym(library, name));
    }

    const UNormalizer2* nfc_ = nullptr;  // owned by ICU, lives as long as the process
    decltype(&unorm2_normalize) normalize_ = nullptr;
    decltype(&u_strFromUTF8) fromUTF8_ = nullptr;
    decltype(&u_strToUTF8) toUTF8_ = nullptr;
};

}  // namespace

std::optional<std::string> canonicalComposition(const std::string& text) {
    return Normalizer::shared().compose(text);
}

}  // namespace qor
