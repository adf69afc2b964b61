// The entry's one way to a WebSocket sink. The sink needs TLS, and TLS libraries cost a capture
// that streams to standard output several megabytes of resident memory just by being mapped: where
// that matters the sink lives in a module beside the program, loaded only for --ws-url; elsewhere
// it is linked in. Each program links exactly one of the two definitions.
#pragma once

#include <memory>

#include "AudioSinks.h"
#include "CLIOptions.h"

namespace qor {

// Never waits for the server; failures are reported as the sink's own failure lines.
std::shared_ptr<AudioSink> makeWebSocketSink(const WebSocketURL& url);

// The module's one entry point, looked up by this name.
inline constexpr const char* webSocketSinkModuleEntry = "qorMakeWebSocketSink";
using WebSocketSinkModuleEntry = void (*)(const WebSocketURL* url,
                                          void (*report)(const std::string& message),
                                          std::shared_ptr<AudioSink>* sink);

}  // namespace qor
