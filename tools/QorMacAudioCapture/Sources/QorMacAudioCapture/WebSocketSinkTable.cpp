#include "WebSocketSinkTable.h"

#include <cstdint>
#include <span>
#include <string>

#include "Diagnostics.h"

namespace qor {

namespace {

// The module's failure lines, written by the program's own writer. Nothing thrown may go back into
// the module.
void reportFailure(const char* text, std::size_t length) noexcept {
    try {
        Diagnostics::error(std::string(text, length));
    } catch (...) {
    }
}

QorWebSocketSinkURL describe(const WebSocketURL& url) {
    return {url.text.data(),   url.text.size(),  url.scheme.data(), url.scheme.size(),
            url.host.data(),   url.host.size(),  url.port.data(),   url.port.size(),
            url.target.data(), url.target.size()};
}

// Holds the module's sink and calls it through the table; without one, drops every block.
class TableWebSocketSink final : public AudioSink {
  public:
    TableWebSocketSink(const QorWebSocketSinkFunctions* functions, QorWebSocketSink* sink)
        : functions_(sink != nullptr ? functions : nullptr), sink_(sink) {}
    ~TableWebSocketSink() override {
        if (functions_ != nullptr) {
            functions_->destroy(sink_);
        }
    }
    TableWebSocketSink(const TableWebSocketSink&) = delete;
    TableWebSocketSink& operator=(const TableWebSocketSink&) = delete;

    const std::string& transportName() const override { return transportName_; }
    const std::string& formatName() const override { return formatName_; }
    void write(std::span<const float> floatStereo) override {
        if (functions_ != nullptr) {
            functions_->write(sink_, floatStereo.data(), floatStereo.size());
        }
    }
    void close() override {
        if (functions_ != nullptr) {
            functions_->close(sink_);
        }
    }
    void stopWaiting() override {
        if (functions_ != nullptr) {
            functions_->stopWaiting(sink_);
        }
    }
    std::uint64_t droppedFrames() const override {
        return functions_ != nullptr ? functions_->droppedFrames(sink_) : 0;
    }

  private:
    const std::string transportName_ = "websocket";
    const std::string formatName_ = "pcm_s16le";
    // Set at construction: both, or neither.
    const QorWebSocketSinkFunctions* const functions_;
    QorWebSocketSink* const sink_;
};

}  // namespace

std::shared_ptr<AudioSink> makeModuleWebSocketSink(const QorWebSocketSinkFunctions* functions,
                                                   const WebSocketURL& url) {
    QorWebSocketSink* sink = nullptr;
    if (functions != nullptr && functions->version != QOR_WEBSOCKET_SINK_VERSION) {
        Diagnostics::error(
            "monitor_audio_websocket_send_failed:the WebSocket module is of "
            "another version");
    } else if (functions != nullptr) {
        const QorWebSocketSinkURL described = describe(url);
        // A sink that could not be made has been reported by the module.
        sink = functions->open(&described, &reportFailure);
    }
    return std::make_shared<TableWebSocketSink>(functions, sink);
}

}  // namespace qor
