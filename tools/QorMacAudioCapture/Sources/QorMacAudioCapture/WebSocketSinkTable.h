// The entry's one way to a WebSocket sink: linked into the program, or made by a module beside it
// through the module's C function table (WebSocketSinkFactory.h). Each program links exactly one
// definition of makeWebSocketSink().
#pragma once

#include <memory>

#include "AudioSinks.h"
#include "CLIOptions.h"
#include "WebSocketSinkFactory.h"

namespace qor {

// Never waits for the server; failures are reported as the sink's own failure lines.
std::shared_ptr<AudioSink> makeWebSocketSink(const WebSocketURL& url);

// The sink a module's table makes, as an AudioSink. Without a table (a module that cannot be
// loaded, whose failure the caller has reported), with a table of another version, or when the
// module could not make the sink, the failure is reported once, like a server that cannot be
// reached, and the capture runs on with every block dropped.
std::shared_ptr<AudioSink> makeModuleWebSocketSink(const QorWebSocketSinkFunctions* functions,
                                                   const WebSocketURL& url);

}  // namespace qor
