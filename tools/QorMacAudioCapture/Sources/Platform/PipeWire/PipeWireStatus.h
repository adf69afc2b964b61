// The statuses the PipeWire backend returns from the capture platform interface. The core only
// reports them (a failing step name, ":" and the number), so each failure has its own value, all
// negative and clear of the small negative errno values PipeWire itself uses.
#pragma once

#include "AudioHardware.h"

namespace qor::pipewire {

// No PipeWire server accepted the connection (no socket, refused, or no runtime directory).
inline constexpr OSStatus kStatusServerUnreachable = -6001;
// The server accepted the connection but did not answer within the time allowed.
inline constexpr OSStatus kStatusServerTimeout = -6002;
// The connection to the server broke.
inline constexpr OSStatus kStatusServerLost = -6003;
// No tap, device or I/O proc of this backend has the given id.
inline constexpr OSStatus kStatusUnknownObject = -6004;
// The capture node could not be created or connected, or it and its ports never appeared.
inline constexpr OSStatus kStatusStreamFailed = -6005;
// The aggregate device description names no tap of this backend.
inline constexpr OSStatus kStatusUnknownTap = -6006;
// The device already has an I/O proc, or the proc given is not the device's.
inline constexpr OSStatus kStatusIOProcMismatch = -6007;
// The connection already delivers to another I/O queue (one capture queue per process).
inline constexpr OSStatus kStatusQueueBusy = -6008;
// The I/O queue did not run a request in time; the connection is left alone from then on.
inline constexpr OSStatus kStatusQueueTimeout = -6009;
// The operating system refused a resource the backend needs (a file descriptor).
inline constexpr OSStatus kStatusSystemError = -6010;

}  // namespace qor::pipewire
