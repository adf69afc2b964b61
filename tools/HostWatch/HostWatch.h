// The host that started a helper: when it exits, the helper ends too, so neither a recording nor a
// model call outlives the application that asked for it. Both programs use it, each deciding what
// its own end looks like.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace qor::hostwatch {

inline constexpr const char* kWatchPidVariable = "QOR_WATCH_PID";

// The process to watch: the one QOR_WATCH_PID names (0: none), else the parent at start, unless
// that is 1 (a helper started by launchd or init has no host to outlive); 0 for none. Nothing when
// the variable holds no process id.
std::optional<std::int32_t> watchedProcess();

// Calls `exited` once, on a thread of its own, when `pid` has exited (at once when it is gone
// already). The watch lasts as long as the process: pidfd on Linux, a dispatch source on macOS.
void watchProcessExit(std::int32_t pid, std::function<void()> exited);

}  // namespace qor::hostwatch
