#include "MacOSBackend.h"
#include "ProductPlatform.h"

namespace qor {

namespace {

struct MacOSPlatform {
    macos::CoreAudioHardware hardware;
    macos::AppKitWorkspace workspace;
    macos::MacOSSystemSupport system;
    Platform platform{hardware, workspace, system};
};

}  // namespace

// Never destroyed: the I/O queue's thread may still be finishing when the process exits. The
// capture itself releases every Core Audio object it made, in stop().
Platform& productPlatform() {
    static auto* platform = new MacOSPlatform();
    return platform->platform;
}

}  // namespace qor
