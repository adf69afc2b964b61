// A loopback port number that is free now, for peers that must be told a port and for connections
// that must be refused.
#pragma once

#include <cstdint>

namespace qor::testing {

// Bound once to learn a number the system hands out, then released: nothing listens on it, so a
// connection is refused until something binds it.
std::uint16_t freeLoopbackPort();

}  // namespace qor::testing
