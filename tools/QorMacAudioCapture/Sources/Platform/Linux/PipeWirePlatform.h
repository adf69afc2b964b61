// The Linux capture platform: PipeWire for the audio hardware, the workspace and the system test.
// Holds no PipeWire type in its interface, so tests and the product include it freely.
#pragma once

#include <memory>

#include "AudioHardware.h"
#include "PipeWireStatus.h"

namespace qor::pipewire {

// The oldest server the backend works with: every feature it relies on (link-factory links that
// die with their client, the settings metadata's clock rate, per-channel stream ports and the
// want-driver/always-process node properties) is older. The core reports the same text as
// "minimumSystemVersion".
inline constexpr const char* kMinimumServerVersion = kPipeWireMinimumServerVersion;

// One connection per instance, opened on first use. The product keeps one for the process's
// life; tests make their own.
class PipeWirePlatform {
  public:
    PipeWirePlatform();
    ~PipeWirePlatform();
    PipeWirePlatform(const PipeWirePlatform&) = delete;
    PipeWirePlatform& operator=(const PipeWirePlatform&) = delete;

    Platform& platform();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace qor::pipewire
