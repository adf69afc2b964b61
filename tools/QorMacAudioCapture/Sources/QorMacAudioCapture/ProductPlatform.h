// The platform the product executable captures with. Exactly one backend, chosen at build time,
// defines it (macOS on Apple systems, PipeWire elsewhere); the simulated backend never does.
#pragma once

#include "AudioHardware.h"

namespace qor {

Platform& productPlatform();

}  // namespace qor
