// Streams the captured audio to a WebSocket server as 16-bit PCM, one binary message per block.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "AudioSinks.h"
#include "CLIOptions.h"
#include "Diagnostics.h"
#include "WebSocketTransport.h"

namespace qor {

// One sample as signed 16-bit: clamped to -1...1 (not-a-number counts as 1), scaled in single
// precision by 32768 below zero and 32767 from zero up, so both ends of the range are reached, then
// rounded half away from zero.
inline std::int16_t toPCM16(float sample) {
    const float clamped = sample < 1.0f ? (sample < -1.0f ? -1.0f : sample) : 1.0f;
    const float scaled = clamped < 0.0f ? clamped * 32768.0f : clamped * 32767.0f;
    // Truncation and the exact fractional part rather than roundf: same result, and the loop over
    // a block stays free of library calls so the compiler can vectorise it.
    const auto whole = static_cast<std::int32_t>(scaled);
    const float fraction = scaled - static_cast<float>(whole);
    return static_cast<std::int16_t>(whole + (fraction >= 0.5f ? 1 : 0) -
                                     (fraction <= -0.5f ? 1 : 0));
}

// The payload of one message: every sample through toPCM16, least significant byte first, in block
// order. `bytes` holds exactly two bytes per sample.
void toPCM16LE(std::span<const float> samples, std::span<std::uint8_t> bytes);

// Connects at once and never waits for the server. At most `maximumPendingWrites` messages are in
// flight (blocks written before the opening handshake has completed count too); further blocks are
// dropped rather than queued. The first failure closes the sink for good and is reported as one
// diagnostic line; the capture runs on.
//
// This is the whole behaviour on every platform; the platform's WebSocket client is only the
// transport under it.
//
// Threads: write() runs on the capture's I/O queue, close() on the main thread, and the transport's
// handlers on its own thread or queue, where the transport holds the sink weakly.
class WebSocketAudioSink final : public AudioSink,
                                 public WebSocketTransportListener,
                                 public std::enable_shared_from_this<WebSocketAudioSink> {
    struct Passkey {};

  public:
    static constexpr std::int64_t maximumPendingWrites = 8;
    // How long close() waits for the close frame to reach the server.
    static constexpr std::chrono::milliseconds closeGracePeriod{300};

    // Writes one failure line. The sink's code may live in a module loaded at run time, apart from
    // the program's own writer: failures are reported through this, never directly.
    using FailureReport = void (*)(const std::string& message);

    static std::shared_ptr<WebSocketAudioSink> create(const WebSocketURL& url,
                                                      FailureReport report = &Diagnostics::error);
    // Over a transport of the caller's, for fault injection and deterministic tests.
    static std::shared_ptr<WebSocketAudioSink> create(std::unique_ptr<WebSocketTransport> transport,
                                                      FailureReport report = &Diagnostics::error);

    explicit WebSocketAudioSink(Passkey);
    // Releases the transport at once, from any thread; a connection not closed is dropped.
    ~WebSocketAudioSink() override;
    WebSocketAudioSink(const WebSocketAudioSink&) = delete;
    WebSocketAudioSink& operator=(const WebSocketAudioSink&) = delete;

    const std::string& transportName() const override { return transportName_; }
    const std::string& formatName() const override { return formatName_; }
    void write(std::span<const float> floatStereo) override;
    std::uint64_t droppedFrames() const override { return droppedFrames_; }
    // Starts the closing handshake with 1001 (going away). Blocks written before, one that another
    // thread's write() is handing over included, go out before the close frame. Then waits, at
    // most closeGracePeriod, until the handshake is done or the connection has failed: the process
    // ends soon after the stop that calls this, and a server must see 1001 rather than a dropped
    // connection. Whichever thread later releases the sink, the wait has happened on the stopping
    // thread.
    void close() override;

    // Waits at most `timeout` for the connection to finish: the closing handshake done, or the
    // connection failed. True when it has.
    bool waitUntilFinished(std::chrono::milliseconds timeout) const;

    // Observation for tests and diagnostics; each takes the lock briefly.
    std::int64_t pendingWriteCount() const;
    bool isClosed() const;

    // The transport's reports: once per message, and once per connection.
    void sendCompleted(const std::optional<std::string>& failure) override;
    void receiveFailed(const std::string& failure) override;

  private:
    // The payloads of the window: one buffer per message that can be in flight, each grown to the
    // largest block it has carried and never shrunk, so a running capture allocates nothing per
    // block. Shared with the transport, which borrows a buffer until its send completes and may
    // outlive the sink.
    struct PayloadPool {
        std::array<std::vector<std::uint8_t>, maximumPendingWrites> buffers;
    };

    const std::string transportName_ = "websocket";
    const std::string formatName_ = "pcm_s16le";

    mutable std::mutex lock_;
    std::int64_t pendingWrites_ = 0;  // under lock_: sends handed over and not yet completed
    bool closed_ = false;             // under lock_: once true, every later block is dropped
    // Under lock_: write() has taken a block and not yet handed it to the transport. close() waits
    // for that hand-over, signalled through handedOver_, so the block goes out before the close
    // frame instead of being refused after it.
    bool handingOver_ = false;
    std::condition_variable handedOver_;
    // Under lock_: the buffers free to fill, the most recently returned last so that a steady
    // stream keeps reusing a warm one; and the buffers lent out, in send order, since completions
    // arrive in that order. A free buffer's bytes belong to the thread of write(), a lent one's to
    // the transport.
    std::array<std::size_t, maximumPendingWrites> freeBuffers_{};
    std::size_t freeCount_ = 0;
    std::array<std::size_t, maximumPendingWrites> lentBuffers_{};
    std::size_t firstLent_ = 0;
    // Owned by the thread of write(): the largest payload so far, the size every buffer grows to,
    // and the frames of the blocks dropped while the window was full.
    std::size_t largestPayload_ = 0;
    std::uint64_t droppedFrames_ = 0;

    // Set by create(), read-only afterwards: the failure line writer, the payloads and the
    // connection (last, so that it goes first).
    FailureReport report_ = nullptr;
    std::shared_ptr<PayloadPool> payloads_;
    std::unique_ptr<WebSocketTransport> transport_;
};

}  // namespace qor
