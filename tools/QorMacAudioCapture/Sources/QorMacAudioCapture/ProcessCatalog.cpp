#include "ProcessCatalog.h"

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_set>

#include "HelperError.h"
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
                     [&workspace](const CaptureSource& a, const CaptureSource& b) {
                         return workspace.localizedCaseInsensitiveCompare(a.name, b.name) < 0;
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
