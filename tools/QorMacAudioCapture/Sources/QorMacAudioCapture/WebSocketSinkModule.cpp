// The module's entry: everything else in it is hidden, so its copies of Boost and the sink never
// meet the program's.
#include "WebSocketAudioSink.h"
#include "WebSocketSinkFactory.h"

extern "C" __attribute__((visibility("default"))) void qorMakeWebSocketSink(
    const qor::WebSocketURL* url, void (*report)(const std::string& message),
    std::shared_ptr<qor::AudioSink>* sink) {
    *sink = qor::WebSocketAudioSink::create(*url, report);
}

// The program calls the entry through this type: keep the two in step.
static_assert(std::is_same_v<decltype(&qorMakeWebSocketSink), qor::WebSocketSinkModuleEntry>);
