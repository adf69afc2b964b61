// The capture program's entry, shared by the product executable and the simulated test executable.
#pragma once

#include <span>
#include <string>

#include "AudioHardware.h"

namespace qor {

// Runs exactly one of capabilities, source list or capture and returns the exit status.
int runCaptureProgram(std::span<const std::string> arguments, Platform& platform);

}  // namespace qor
