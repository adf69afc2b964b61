#include "WebSocketAudioSink.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace qor {

void toPCM16LE(std::span<const float> samples, std::span<std::uint8_t> bytes) {
    const std::size_t count = std::min(samples.size(), bytes.size() / 2);
    std::uint8_t* out = bytes.data();
    for (std::size_t i = 0; i < count; ++i) {
        const auto value = static_cast<std::uint16_t>(toPCM16(samples[i]));
        out[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
}

std::shared_ptr<WebSocketAudioSink> WebSocketAudioSink::create(const WebSocketURL& url,
                                                               FailureReport report) {
    auto sink = std::make_shared<WebSocketAudioSink>(Passkey{});
    sink->report_ = report;
    sink->transport_ = makeWebSocketTransport(url);
    sink->transport_->start(sink->weak_from_this());
    return sink;
}

WebSocketAudioSink::WebSocketAudioSink(Passkey) {}

WebSocketAudioSink::~WebSocketAudioSink() = default;

void WebSocketAudioSink::write(std::span<const float> floatStereo) {
    if (floatStereo.empty()) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_ || pendingWrites_ >= maximumPendingWrites) {
            return;
        }
        ++pendingWrites_;
    }
    std::vector<std::uint8_t> payload(floatStereo.size() * 2);
    toPCM16LE(floatStereo, payload);
    transport_->send(std::move(payload));
}

void WebSocketAudioSink::close() {
    {
        std::lock_guard guard(lock_);
        closed_ = true;
    }
    transport_->close();
    if (!transport_->isListenerThread()) {
        waitUntilFinished(closeGracePeriod);
    }
}

bool WebSocketAudioSink::waitUntilFinished(std::chrono::milliseconds timeout) const {
    return transport_->waitUntilFinished(timeout);
}

std::int64_t WebSocketAudioSink::pendingWriteCount() const {
    std::lock_guard guard(lock_);
    return pendingWrites_;
}

bool WebSocketAudioSink::isClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

void WebSocketAudioSink::sendCompleted(const std::optional<std::string>& failure) {
    {
        std::lock_guard guard(lock_);
        pendingWrites_ = std::max<std::int64_t>(pendingWrites_ - 1, 0);
        if (failure) {
            closed_ = true;
        }
    }
    if (failure) {
        report_("monitor_audio_websocket_send_failed:" + *failure);
    }
}

void WebSocketAudioSink::receiveFailed(const std::string& failure) {
    bool wasClosed = false;
    {
        std::lock_guard guard(lock_);
        wasClosed = closed_;
        closed_ = true;
    }
    if (!wasClosed) {
        report_("monitor_audio_websocket_receive_failed:" + failure);
    }
}

}  // namespace qor
