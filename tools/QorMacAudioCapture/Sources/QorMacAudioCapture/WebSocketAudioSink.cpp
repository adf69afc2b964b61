#include "WebSocketAudioSink.h"

#include <algorithm>
#include <array>
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
    return create(makeWebSocketTransport(url), report);
}

std::shared_ptr<WebSocketAudioSink> WebSocketAudioSink::create(
    std::unique_ptr<WebSocketTransport> transport, FailureReport report) {
    auto sink = std::make_shared<WebSocketAudioSink>(Passkey{});
    sink->report_ = report;
    sink->payloads_ = std::make_shared<PayloadPool>();
    sink->transport_ = std::move(transport);
    sink->transport_->start(sink->weak_from_this());
    return sink;
}

WebSocketAudioSink::WebSocketAudioSink(Passkey) {
    for (std::size_t i = 0; i < freeBuffers_.size(); ++i) {
        freeBuffers_[i] = i;
    }
    freeCount_ = freeBuffers_.size();
}

WebSocketAudioSink::~WebSocketAudioSink() = default;

void WebSocketAudioSink::write(std::span<const float> floatStereo) {
    if (floatStereo.empty()) {
        return;
    }
    std::size_t slot = 0;
    std::array<std::size_t, maximumPendingWrites> idle{};
    std::size_t idleCount = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return;
        }
        if (pendingWrites_ >= maximumPendingWrites) {
            droppedFrames_ += floatStereo.size() / 2;
            return;
        }
        slot = freeBuffers_[--freeCount_];
        lentBuffers_[(firstLent_ + static_cast<std::size_t>(pendingWrites_)) %
                     lentBuffers_.size()] = slot;
        ++pendingWrites_;
        handingOver_ = true;
        idle = freeBuffers_;
        idleCount = freeCount_;
    }
    const std::size_t size = floatStereo.size() * 2;
    if (size > largestPayload_) {
        // A larger block than ever: every buffer this thread holds grows now, so the next blocks
        // of this size find theirs ready. Buffers lent out grow when they next come back to use.
        // Only this thread takes buffers from the free list, so those idle stay idle meanwhile.
        largestPayload_ = size;
        for (std::size_t i = 0; i < idleCount; ++i) {
            payloads_->buffers[idle[i]].resize(size);
        }
    }
    std::vector<std::uint8_t>& buffer = payloads_->buffers[slot];
    if (buffer.size() < largestPayload_) {
        buffer.resize(largestPayload_);
    }
    const std::span<std::uint8_t> payload(buffer.data(), size);
    toPCM16LE(floatStereo, payload);
    // The aliasing pointer shares the pool's count without allocating.
    transport_->send(payload, std::shared_ptr<const void>(payloads_, &buffer));
    bool closing = false;
    {
        std::lock_guard guard(lock_);
        handingOver_ = false;
        closing = closed_;
    }
    if (closing) {
        handedOver_.notify_all();
    }
}

void WebSocketAudioSink::close() {
    {
        std::unique_lock guard(lock_);
        closed_ = true;
        // A block taken before this is handed over in microseconds; it must reach the transport
        // before the close does.
        handedOver_.wait(guard, [this] { return !handingOver_; });
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
        if (pendingWrites_ > 0) {
            --pendingWrites_;
            freeBuffers_[freeCount_++] = lentBuffers_[firstLent_];
            firstLent_ = (firstLent_ + 1) % lentBuffers_.size();
        }
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
