// The capture program's entry, shared by the product executable and the simulated test executable.
#pragma once

#include <span>
#include <string>

#include "AudioHardware.h"

namespace qor {

// Call first in main. A standard descriptor the parent left closed gets /dev/null, before any
// library can take its number (a socket or an epoll descriptor would then receive what the program
// writes there). It is opened for reading only: a write to a standard output the parent closed
// still fails, and standard output's failure is reported like any other.
void reserveStandardDescriptors();

// Runs exactly one of capabilities, source list or capture and returns the exit status.
int runCaptureProgram(std::span<const std::string> arguments, Platform& platform);

}  // namespace qor
