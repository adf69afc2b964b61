#include "ProcessCatalog.h"

#include <algorithm>
#include <memory>
#include <set>
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

std::vector<AudioObjectID> processObjectIDs(AudioHardware& hardware, Workspace& workspace,
                                            const std::vector<std::string>& bundleIDs) {
    std::set<std::string> wanted;
    for (const std::string& bundleID : bundleIDs) {
        if (!bundleID.empty()) {
            wanted.insert(bundleID);
        }
    }
    std::vector<AudioObjectID> objects;
    if (wanted.empty()) {
        return objects;
    }
    for (const RunningApplication& application : workspace.runningApplications()) {
        if (!application.bundleIdentifier || !wanted.contains(*application.bundleIdentifier) ||
            application.isTerminated) {
            continue;
        }
        AudioObjectID object = kAudioObjectUnknown;
        if (hardware.translatePIDToProcessObject(application.processIdentifier, object) == 0 &&
            object != kAudioObjectUnknown) {
            objects.push_back(object);
        }
    }
    return objects;
}

}  // namespace ProcessCatalog
}  // namespace qor
