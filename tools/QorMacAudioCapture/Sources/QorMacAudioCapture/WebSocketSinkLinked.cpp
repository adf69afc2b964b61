#include "WebSocketAudioSink.h"
#include "WebSocketSinkTable.h"

namespace qor {

std::shared_ptr<AudioSink> makeWebSocketSink(const WebSocketURL& url) {
    return WebSocketAudioSink::create(url);
}

}  // namespace qor
