// The applications a user can capture, and the lookups from what the command line names to audio
// process objects. Stateless: every call reads the platform afresh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AudioHardware.h"
#include "Diagnostics.h"

namespace qor {

struct CaptureSource {
    std::string id;
    std::string name;
    std::string processName;
    std::int32_t processId = 0;
    std::string bundleId;

    JSON toJSON() const;
};

namespace ProcessCatalog {

// De-duplicated by bundle identifier and sorted by name with the workspace's localized,
// case-insensitive comparison. Fails only when the system cannot compare names (HelperError from
// the workspace).
std::vector<CaptureSource> listApplications(Workspace& workspace);

// Throws HelperError: coreAudio "translate_pid_to_audio_process" or runtime
// "audio_process_not_found".
AudioObjectID processObjectID(AudioHardware& hardware, std::int32_t pid);

// The process of every running instance of every wanted bundle identifier, in workspace order.
std::vector<std::int32_t> applicationProcessIDs(Workspace& workspace,
                                                const std::vector<std::string>& bundleIDs);

// Every running instance of every wanted bundle identifier, in workspace order; whatever cannot
// be resolved is left out silently. Identifiers match in their canonical Unicode form; throws
// HelperError runtime "unicode_normalization_unavailable" when one needs a normaliser that the
// platform cannot load.
std::vector<AudioObjectID> processObjectIDs(AudioHardware& hardware, Workspace& workspace,
                                            const std::vector<std::string>& bundleIDs);

}  // namespace ProcessCatalog
}  // namespace qor
