#include "ICUCollation.h"

#include <dlfcn.h>

// Only ICU's C interface: it is called through pointers looked up at run time.
#define U_SHOW_CPLUSPLUS_API 0
#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <string_view>

#include "HelperError.h"
#include "SystemCollation.h"

namespace qor {

namespace {

// ICU's entry points carry the library's version in their names (ucol_open is ucol_open_72):
// the headers' renaming macros give the exact symbol to look up.
#define QOR_ICU_SYMBOL_TEXT(name) #name
#define QOR_ICU_SYMBOL(name) QOR_ICU_SYMBOL_TEXT(name)

template <typename Function>
Function lookup(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

}  // namespace

// Owns the collator; closed with the program's statics.
struct ICUCollation::Collator {
    UCollator* collator;
    decltype(&ucol_strcollUTF8) strcoll;
    decltype(&ucol_close) close;

    Collator(UCollator* c, decltype(strcoll) s, decltype(close) x)
        : collator(c), strcoll(s), close(x) {}
    ~Collator() { close(collator); }
    Collator(const Collator&) = delete;
    Collator& operator=(const Collator&) = delete;
};

// ICU is loaded only when a list is sorted: linking it would make every capture map and relocate
// its libraries at start-up (several megabytes of resident memory) for a comparison it never
// makes.
ICUCollation::ICUCollation(const char* library) {
    void* handle = dlopen(library, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        failure_ = reason != nullptr ? reason : library;
        return;
    }
    const auto open = lookup<decltype(&ucol_open)>(handle, QOR_ICU_SYMBOL(ucol_open));
    const auto setStrength =
        lookup<decltype(&ucol_setStrength)>(handle, QOR_ICU_SYMBOL(ucol_setStrength));
    const auto defaultLocale =
        lookup<decltype(&uloc_getDefault)>(handle, QOR_ICU_SYMBOL(uloc_getDefault));
    const auto language =
        lookup<decltype(&uloc_getLanguage)>(handle, QOR_ICU_SYMBOL(uloc_getLanguage));
    const auto variant =
        lookup<decltype(&uloc_getVariant)>(handle, QOR_ICU_SYMBOL(uloc_getVariant));
    const auto strcoll =
        lookup<decltype(&ucol_strcollUTF8)>(handle, QOR_ICU_SYMBOL(ucol_strcollUTF8));
    const auto close = lookup<decltype(&ucol_close)>(handle, QOR_ICU_SYMBOL(ucol_close));
    if (!close || !open || !setStrength || !defaultLocale || !language || !variant || !strcoll) {
        failure_ = std::string(library) + " lacks the collation functions";
        return;
    }
    // The collator follows the process's locale (LANG and friends), like the platform's
    // localized comparison. The POSIX locale's tailoring orders by code point; an unset
    // locale means the root order.
    const char* locale = defaultLocale();
    char part[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    variant(locale, part, sizeof part, &status);
    const bool posix = U_SUCCESS(status) && std::string_view(part) == "POSIX";
    status = U_ZERO_ERROR;
    language(locale, part, sizeof part, &status);
    const bool c = U_SUCCESS(status) && std::string_view(part) == "c";
    status = U_ZERO_ERROR;
    UCollator* collator = open(posix || c ? "" : locale, &status);
    if (U_FAILURE(status) || collator == nullptr) {
        failure_ = std::string("no collator for ") + locale;
        return;
    }
    setStrength(collator, UCOL_SECONDARY);
    collator_ = std::make_unique<const Collator>(collator, strcoll, close);
}

ICUCollation::~ICUCollation() = default;

int ICUCollation::compare(const std::string& a, const std::string& b) const {
    if (collator_ == nullptr) {
        throw HelperError::runtime("collation_unavailable:" + failure_);
    }
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult order =
        collator_->strcoll(collator_->collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                           static_cast<int32_t>(b.size()), &status);
    if (U_FAILURE(status)) {
        throw HelperError::runtime("collation_unavailable:icu_status_" + std::to_string(status));
    }
    return order == UCOL_LESS ? -1 : order == UCOL_GREATER ? 1 : 0;
}

int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) {
    // Built once, on first use, by whichever thread sorts first.
    static const ICUCollation collation(QOR_ICU_I18N_LIBRARY);
    return collation.compare(a, b);
}

}  // namespace qor
