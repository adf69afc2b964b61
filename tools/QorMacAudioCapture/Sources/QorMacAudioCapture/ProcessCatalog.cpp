#include "ProcessCatalog.h"

#include <dlfcn.h>

// Only ICU's C interface: it is called through pointers looked up at run time.
#define U_SHOW_CPLUSPLUS_API 0
#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_set>

#include "CLIOptions.h"
#include "Text.h"

namespace qor {

JSON CaptureSource::toJSON() const {
    return JSON{{"id", id},
                {"name", name},
                {"processName", processName},
                {"processId", processId},
                {"bundleId", bundleId}};
}

namespace ProcessCatalog {

namespace {

// A packaged ICU's entry points carry the library's version in their names (ucol_open is
// ucol_open_72), macOS's libicucore's do not (the build turns the renaming off there): the headers'
// renaming macros give the exact symbol to look up.
#define QOR_ICU_SYMBOL_TEXT(name) #name
#define QOR_ICU_SYMBOL(name) QOR_ICU_SYMBOL_TEXT(name)

// ICU is loaded only when a list is sorted: linking it would make every capture map and relocate
// its libraries at start-up (several megabytes of resident memory) for a comparison it never
// makes. Built once, on first use, by whichever thread sorts first; never unloaded.
class Collation {
  public:
    static const Collation& shared() {
        static const Collation collation;
        return collation;
    }

    bool available() const { return collator_ != nullptr; }

    bool less(const std::string& a, const std::string& b) const {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult order = strcoll_(collator_, a.data(), static_cast<int32_t>(a.size()),
                                                b.data(), static_cast<int32_t>(b.size()), &status);
        return U_SUCCESS(status) ? order == UCOL_LESS : a < b;
    }

  private:
    Collation() {
        void* library = dlopen(QOR_ICU_I18N_LIBRARY, RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            return;
        }
        const auto open = lookup<decltype(&ucol_open)>(library, QOR_ICU_SYMBOL(ucol_open));
        const auto setStrength =
            lookup<decltype(&ucol_setStrength)>(library, QOR_ICU_SYMBOL(ucol_setStrength));
        const auto defaultLocale =
            lookup<decltype(&uloc_getDefault)>(library, QOR_ICU_SYMBOL(uloc_getDefault));
        const auto language =
            lookup<decltype(&uloc_getLanguage)>(library, QOR_ICU_SYMBOL(uloc_getLanguage));
        const auto variant =
            lookup<decltype(&uloc_getVariant)>(library, QOR_ICU_SYMBOL(uloc_getVariant));
        strcoll_ = lookup<decltype(&ucol_strcollUTF8)>(library, QOR_ICU_SYMBOL(ucol_strcollUTF8));
        if (!open || !setStrength || !defaultLocale || !language || !variant || !strcoll_) {
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
            return;
        }
        // Secondary strength: letter case is ignored, accents are not.
        setStrength(collator, UCOL_SECONDARY);
        collator_ = collator;
    }

    template <typename Function>
    static Function lookup(void* library, const char* name) {
        return reinterpret_cast<Function>(dlsym(library, name));
    }

    UCollator* collator_ = nullptr;  // lives as long as the process
    decltype(&ucol_strcollUTF8) strcoll_ = nullptr;
};

}  // namespace

bool localizedCaseInsensitiveLess(const std::string& a, const std::string& b) {
    const Collation& collation = Collation::shared();
    return collation.available() ? collation.less(a, b) : a < b;
}

std::vector<CaptureSource> listApplications(Workspace& workspace) {
    const std::int32_t ownPID = workspace.ownProcessIdentifier();
    std::unordered_set<std::string> seenKeys;
    std::vector<CaptureSource> sources;

    for (const RunningApplication& application : workspace.runningApplications()) {
        if (application.processIdentifier == ownPID || application.isTerminated ||
            application.activationPolicy == ActivationPolicy::prohibited) {
            continue;
        }
        const std::string bundleID = application.bundleIdentifier.value_or("");
        const std::string name(trimWhitespaceAndNewlines(application.localizedName.value_or("")));
        if (name.empty()) {
            continue;  // claims no key, so a later instance with a name can still be listed
        }
        const std::string pidText = std::to_string(application.processIdentifier);
        const std::string key = bundleID.empty() ? "pid:" + pidText : "bundle:" + bundleID;
        if (!seenKeys.insert(key).second) {
            continue;
        }
        sources.push_back(CaptureSource{
            .id = bundleID.empty() ? "process:" + pidText : "application:" + bundleID,
            .name = name,
            .processName = name,
            .processId = application.processIdentifier,
            .bundleId = bundleID,
        });
    }
    std::stable_sort(sources.begin(), sources.end(),
                     [](const CaptureSource& a, const CaptureSource& b) {
                         return localizedCaseInsensitiveLess(a.name, b.name);
                     });
    return sources;
}

AudioObjectID processObjectID(AudioHardware& hardware, std::int32_t pid) {
    AudioObjectID object = kAudioObjectUnknown;
    if (const OSStatus status = hardware.translatePIDToProcessObject(pid, object); status != 0) {
        throw HelperError::coreAudio("translate_pid_to_audio_process", status);
    }
    if (object == kAudioObjectUnknown) {
        throw HelperError::runtime("audio_process_not_found");
    }
    return object;
}

namespace {

// The form in which bundle identifiers are compared: composed and decomposed spellings of the same
// characters are one identifier, while case, blanks and every other difference still count. Plain
// ASCII is its own canonical form, so only other text needs the platform's normaliser; text that
// is not valid UTF-8 spells no characters and is compared as its bytes. Without a normaliser a
// comparison cannot be trusted either way (an excluded application could be captured), so the
// lookup fails rather than fall back to comparing bytes.
std::string canonicalBundleID(Workspace& workspace, const std::string& bundleID) {
    const bool ascii = std::all_of(bundleID.begin(), bundleID.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || sanitizeUTF8(bundleID) != bundleID) {
        return bundleID;
    }
    std::optional<std::string> canonical = workspace.canonicalComposition(bundleID);
    if (!canonical) {
        throw HelperError::runtime("unicode_normalization_unavailable");
    }
    return std::move(*canonical);
}

}  // namespace

std::vector<std::int32_t> applicationProcessIDs(Workspace& workspace,
                                                const std::vector<std::string>& bundleIDs) {
    std::set<std::string> wanted;
    for (const std::string& bundleID : bundleIDs) {
        if (!bundleID.empty()) {
            wanted.insert(canonicalBundleID(workspace, bundleID));
        }
    }
    std::vector<std::int32_t> pids;
    if (wanted.empty()) {
        return pids;
    }
    for (const RunningApplication& application : workspace.runningApplications()) {
        if (!application.bundleIdentifier ||
            !wanted.contains(canonicalBundleID(workspace, *application.bundleIdentifier)) ||
            application.isTerminated) {
            continue;
        }
        pids.push_back(application.processIdentifier);
    }
    return pids;
}

std::vector<AudioObjectID> processObjectIDs(AudioHardware& hardware, Workspace& workspace,
                                            const std::vector<std::string>& bundleIDs) {
    std::vector<AudioObjectID> objects;
    for (const std::int32_t pid : applicationProcessIDs(workspace, bundleIDs)) {
        AudioObjectID object = kAudioObjectUnknown;
        if (hardware.translatePIDToProcessObject(pid, object) == 0 &&
            object != kAudioObjectUnknown) {
            objects.push_back(object);
        }
    }
    return objects;
}

}  // namespace ProcessCatalog
}  // namespace qor
