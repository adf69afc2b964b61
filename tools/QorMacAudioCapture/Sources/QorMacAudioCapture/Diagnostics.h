// The JSON-line writer: every line the program writes on standard error, and the capabilities.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace qor {

using JSON = nlohmann::json;

namespace Diagnostics {

inline constexpr int standardOutput = 1;
inline constexpr int standardError = 2;

// The one serialisation of the program: compact, keys sorted at every level, "/" as "\/",
// non-ASCII as UTF-8 (invalid sequences become U+FFFD), control characters escaped, whole floats
// as integers. Nothing when the value holds a number that is not finite.
std::optional<std::string> serialize(const JSON& value);

// Writes the object as one line, then the newline as its own write, under the one process-wide
// lock so lines from different threads never interleave. Returns 0, or the errno of a write that
// failed; callers writing to standard error ignore it. An object that cannot be serialised writes
// nothing and returns 0.
int write(const JSON& object, int fileDescriptor);

// {"error":message,"success":false} on standard error.
void error(const std::string& message);

}  // namespace Diagnostics
}  // namespace qor
