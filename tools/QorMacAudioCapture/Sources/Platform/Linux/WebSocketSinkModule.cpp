// The module's entry: everything else in it is hidden, so its copies of Boost and the sink never
// meet the program's. The program may carry its own C++ runtime: nothing thrown here leaves the
// module, and what the module allocates it also frees.
#include <exception>
#include <string>
#include <type_traits>

#include "WebSocketAudioSink.h"
#include "WebSocketSinkFactory.h"

extern "C" __attribute__((visibility("default"))) void qorMakeWebSocketSink(
    const qor::WebSocketURL* url, void (*report)(const std::string& message),
    std::shared_ptr<qor::AudioSink>* sink) {
    try {
        *sink = qor::WebSocketAudioSink::create(*url, report);
    } catch (const std::exception& error) {
        report(std::string("monitor_audio_websocket_send_failed:") + error.what());
    }
}

// The program calls the entry through this type: keep the two in step.
static_assert(std::is_same_v<decltype(&qorMakeWebSocketSink), qor::WebSocketSinkModuleEntry>);
