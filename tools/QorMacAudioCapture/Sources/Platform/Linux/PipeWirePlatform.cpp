#include "PipeWirePlatform.h"

#include "PipeWireBackend.h"
#include "ProductPlatform.h"

namespace qor {

namespace pipewire {

// Declared in the order they must be built; destroyed in reverse, so the hardware releases its
// taps before the shared connection goes.
struct PipeWirePlatform::Parts {
    ConnectionCache connectionCache;
    PipeWireAudioHardware hardware{connectionCache};
    PipeWireWorkspace workspace{connectionCache};
    PipeWireSystemSupport system{connectionCache};
    Platform platform{hardware, workspace, system};
};

PipeWirePlatform::PipeWirePlatform() : parts_(std::make_unique<Parts>()) {}

PipeWirePlatform::~PipeWirePlatform() = default;

Platform& PipeWirePlatform::platform() {
    return parts_->platform;
}

}  // namespace pipewire

// Never destroyed: the I/O queue's thread may still be finishing when the process exits, and the
// server drops whatever a connection owned once the process is gone.
Platform& productPlatform() {
    static auto* platform = new pipewire::PipeWirePlatform();
    return platform->platform();
}

}  // namespace qor
