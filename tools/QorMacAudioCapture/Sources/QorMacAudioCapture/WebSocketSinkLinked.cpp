#include "WebSocketAudioSink.h"
#include "WebSocketSinkFactory.h"

namespace qor {

std::shared_ptr<AudioSink> makeWebSocketSink(const WebSocketURL& url) {
    return WebSocketAudioSink::create(url);
}

}  // namespace qor
