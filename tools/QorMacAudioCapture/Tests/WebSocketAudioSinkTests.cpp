// The WebSocket sink against a real server (the websockets library, on loopback).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "LoopbackPort.h"
#include "WebSocketAudioSink.h"
#include "WebSocketSinkTable.h"
#include "WebSocketTestSupport.h"

namespace qor {
namespace {

using namespace qor::testing;
using nlohmann::json;

std::shared_ptr<WebSocketAudioSink> connectTo(const std::string& text) {
    const auto url = WebSocketURL::parse(text);
    EXPECT_TRUE(url.has_value()) << text;
    return WebSocketAudioSink::create(*url);
}

// A fresh peer, this process's standard error captured, and a sink connecting to the peer at
// `target`; unless told otherwise, the peer has reported the opening handshake done (a failure of
// the test when it never does).
struct Connection {
    enum class Handshake { awaited, notAwaited };
    explicit Connection(const std::vector<std::string>& peerOptions = {},
                        Handshake handshake = Handshake::awaited, const std::string& target = "/")
        : Connection(peerOptions, handshake,
                     [&](const WebSocketPeer& peer) { return peer.url(target); }) {}
    // Over TLS: the peer serves `certificate`, the sink connects to it by the name `host`.
    Connection(const SelfSignedCertificate& certificate, const std::string& host,
               const std::string& target, Handshake handshake)
        : Connection({"--cert", certificate.certificate, "--key", certificate.key}, handshake,
                     [&](const WebSocketPeer& peer) {
                         return "wss://" + host + ":" + std::to_string(peer.port()) + target;
                     }) {}
    // The peer saw the closing handshake with 1001 ("going away") and no error line was written.
    void expectGoingAwayWithoutErrors() {
        expectClosedGoingAway(peer);
        for (const auto& line : errors.lines()) {
            ADD_FAILURE() << line;
        }
    }

    WebSocketPeer peer;
    StandardErrorCapture errors;
    std::shared_ptr<WebSocketAudioSink> sink;
    std::optional<json> connected;  // the peer's "connected" event

  private:
    Connection(const std::vector<std::string>& peerOptions, Handshake handshake,
               const std::function<std::string(const WebSocketPeer&)>& url)
        : peer(peerOptions), sink(connectTo(url(peer))) {
        if (handshake == Handshake::awaited) {
            connected = peer.waitFor("connected");
        }
    }
};

std::string hexOf(const std::vector<float>& block) {
    std::vector<std::uint8_t> bytes(block.size() * 2);
    toPCM16LE(block, bytes);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (auto byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr float notANumber = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Conversion

TEST(WebSocketConversion, FollowsTheTable) {
    const std::vector<std::pair<float, std::int16_t>> table{
        {1.0f, 32767},   {0.5f, 16384},       {0.25f, 8192},       {0.0f, 0},     {-0.0f, 0},
        {-0.25f, -8192}, {-0.5f, -16384},     {-1.0f, -32768},     {2.0f, 32767}, {infinity, 32767},
        {-3.0f, -32768}, {-infinity, -32768}, {notANumber, 32767}, {0.00001f, 0}, {-0.00001f, 0},
    };
    for (const auto& [sample, expected] : table) {
        EXPECT_EQ(toPCM16(sample), expected) << "sample " << sample;
    }
}

TEST(WebSocketConversion, RoundsHalvesAwayFromZero) {
    // Exact halves after scaling: ties to even would give -2, -2 and 16384, 0.
    EXPECT_EQ(toPCM16(-1.5f / 32768.0f), -2);
    EXPECT_EQ(toPCM16(-2.5f / 32768.0f), -3);
    EXPECT_EQ(toPCM16(-0.5f / 32768.0f), -1);
    EXPECT_EQ(toPCM16(0.5f), 16384);
    // Just below a half stays below, where adding 0.5 in single precision would carry to 1.
    EXPECT_EQ(toPCM16(-std::nextafter(0.5f, 0.0f) / 32768.0f), 0);
    EXPECT_EQ(toPCM16(-std::nextafter(1.5f, 0.0f) / 32768.0f), -1);
}

TEST(WebSocketConversion, AgreesWithLibraryRoundingAcrossTheRange) {
    // The conversion avoids roundf for speed; sweep the float line in -1...1 against it.
    std::uint32_t checked = 0;
    for (std::uint64_t bits = 0; bits <= 0x3F800000u; bits += 331) {
        for (float sign : {1.0f, -1.0f}) {
            float magnitude;
            const auto pattern = static_cast<std::uint32_t>(bits);
            std::memcpy(&magnitude, &pattern, sizeof magnitude);
            const float sample = sign * magnitude;
            const float scaled = sample < 0.0f ? sample * 32768.0f : sample * 32767.0f;
            ASSERT_EQ(toPCM16(sample), static_cast<std::int16_t>(std::round(scaled)))
                << "sample bits " << pattern << " sign " << sign;
            ++checked;
        }
    }
    EXPECT_GT(checked, 6'000'000u);
}

TEST(WebSocketConversion, BlockBytesAreLittleEndianInBlockOrder) {
    const std::vector<float> block{1.0f, -1.0f, 0.25f, -0.25f};
    std::vector<std::uint8_t> bytes(block.size() * 2, 0xEE);
    toPCM16LE(block, bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xFF, 0x7F, 0x00, 0x80, 0x00, 0x20, 0x00, 0xE0}));
}

// ---------------------------------------------------------------------------------------------
// Streaming to a server that behaves

TEST(WebSocketStreaming, SendsOneBinaryMessagePerBlockWithTheConvertedSamples) {
    const std::string target = "/audio/stream?session=a%20b&x=1";
    Connection link({}, Connection::Handshake::awaited, target);
    ASSERT_TRUE(link.connected);
    EXPECT_EQ((*link.connected)["path"], target);
    EXPECT_EQ((*link.connected)["host"], "127.0.0.1:" + std::to_string(link.peer.port()));

    const std::vector<float> table{
        1.0f, 0.5f,     0.25f, 0.0f,      -0.0f,      -0.25f,   -0.5f,     -1.0f,
        2.0f, infinity, -3.0f, -infinity, notANumber, 0.00001f, -0.00001f, -1.5f / 32768.0f};
    link.sink->write(table);
    link.sink->write({});  // nothing goes out for an empty block
    link.sink->write(std::vector<float>{1.0f, -1.0f});

    const auto messages = link.peer.binaryMessages(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["hex"],
              "ff7f"
              "0040"
              "0020"
              "0000"
              "0000"
              "00e0"
              "00c0"
              "0080"
              "ff7f"
              "ff7f"
              "0080"
              "0080"
              "ff7f"
              "0000"
              "0000"
              "feff");
    EXPECT_EQ(messages[1]["hex"], "ff7f0080");
    EXPECT_TRUE(eventually([&] { return link.sink->pendingWriteCount() == 0; }));
    EXPECT_TRUE(link.peer.binaryMessages(1, 300ms).empty()) << "the empty block was sent";
    EXPECT_FALSE(link.sink->isClosed());
    EXPECT_TRUE(link.errors.lines().empty());
}

TEST(WebSocketStreaming, QueuesBlocksWrittenBeforeTheHandshakeUpToTheWindow) {
    // The server takes its time to answer the opening handshake.
    Connection link({"--handshake-delay", "1.0"}, Connection::Handshake::notAwaited);
    for (int tag = 0; tag < 12; ++tag) {
        link.sink->write(taggedBlock(tag, 960));
    }
    EXPECT_EQ(link.sink->pendingWriteCount(), 8);

    const auto messages = link.peer.binaryMessages(8);
    ASSERT_EQ(messages.size(), 8u);
    for (int tag = 0; tag < 8; ++tag) {
        EXPECT_EQ(tagOf(messages[tag]), tag);
        EXPECT_EQ(messages[tag]["size"], 1920);
        EXPECT_EQ(messages[tag]["hex"], hexOf(taggedBlock(tag, 960)));
    }
    ASSERT_TRUE(eventually([&] { return link.sink->pendingWriteCount() == 0; }));
    link.sink->write(taggedBlock(100, 960));
    const auto after = link.peer.binaryMessages(1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(tagOf(after[0]), 100) << "a dropped block was sent late";
    EXPECT_TRUE(link.errors.lines().empty());
}

TEST(WebSocketStreaming, IgnoresWhatTheServerSends) {
    Connection link;
    int tag = 0;
    for (const std::string command : {"text hello", "binary 0001020304", "ping", "text {}"}) {
        link.sink->write(taggedBlock(tag++, 960));
        link.peer.command(command);
        ASSERT_TRUE(link.peer.waitFor("done"));
        link.sink->write(taggedBlock(tag++, 960));
    }
    EXPECT_TRUE(link.peer.waitFor("pong")) << "the sink did not answer the ping";
    const auto messages = link.peer.binaryMessages(static_cast<std::size_t>(tag));
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(tag));
    for (int i = 0; i < tag; ++i) {
        EXPECT_EQ(tagOf(messages[i]), i);
    }
    EXPECT_FALSE(link.sink->isClosed());
    EXPECT_TRUE(link.errors.lines().empty());
}

// ---------------------------------------------------------------------------------------------
// A server that stops reading

TEST(WebSocketBackPressure, KeepsEightInFlightDropsTheRestAndResumes) {
    Connection link;
    link.peer.command("pause");
    ASSERT_TRUE(link.peer.waitFor("done"));

    // Large blocks fill the socket buffers quickly; the window then holds. One block, retagged,
    // so that the test itself allocates nothing while it measures.
    constexpr std::size_t samples = 48000;
    std::vector<float> block = taggedBlock(0, samples);
    const auto writeTagged = [&](int tag) {
        block[0] = -static_cast<float>(tag) / 32768.0f;
        link.sink->write(block);
    };
    const std::size_t heapAtStart = heapBytesInUse();
    const long residentAtStart = residentKibibytes();
    int tag = 0;
    auto stalledSince = Clock::now();
    while (Clock::now() - stalledSince < 500ms) {
        ASSERT_LT(tag, 20000) << "the writes never stalled";
        writeTagged(tag++);
        const auto pending = link.sink->pendingWriteCount();
        ASSERT_LE(pending, 8);
        if (pending < 8) {
            stalledSince = Clock::now();
        }
        std::this_thread::sleep_for(1ms);
    }
    const int firstLate = tag;
    const std::size_t heapStalled = heapBytesInUse();
    const long residentStalled = residentKibibytes();
    for (int i = 0; i < 3000; ++i) {
        writeTagged(tag++);
    }
    const std::size_t heapAfterDrops = heapBytesInUse();
    const long residentAfterDrops = residentKibibytes();
    EXPECT_EQ(link.sink->pendingWriteCount(), 8);
    const auto kib = [](std::size_t bytes) { return static_cast<long>(bytes / 1024); };
    std::printf(
        "stalled after %d blocks of %zu samples; heap in use %ld KiB -> %ld KiB stalled -> "
        "%ld KiB after 3000 dropped blocks; resident %ld -> %ld -> %ld KiB\n",
        firstLate, samples, kib(heapAtStart), kib(heapStalled), kib(heapAfterDrops),
        residentAtStart, residentStalled, residentAfterDrops);
    ::testing::Test::RecordProperty("heapGrowthWhileStalledKiB",
                                    static_cast<int>(kib(heapStalled) - kib(heapAtStart)));
    // Dropping allocates nothing; in flight are eight messages of 96000 bytes (750 KiB) plus the
    // connection's buffers.
    EXPECT_LT(static_cast<long>(heapAfterDrops) - static_cast<long>(heapStalled), 64 * 1024);
    EXPECT_LT(static_cast<long>(heapStalled) - static_cast<long>(heapAtStart), 2 * 1024 * 1024);

    link.peer.command("resume");
    ASSERT_TRUE(eventually([&] { return link.sink->pendingWriteCount() == 0; }, 30s));
    constexpr int resumedTag = 30000;
    link.sink->write(taggedBlock(resumedTag, 960));
    std::vector<int> tags;
    for (;;) {
        const auto batch = link.peer.binaryMessages(1, 10s);
        ASSERT_EQ(batch.size(), 1u) << "the block written after resuming never arrived";
        tags.push_back(tagOf(batch[0]));
        if (tags.back() == resumedTag) {
            break;
        }
    }
    // The eight in flight when the writes stalled go first. The kernel may still take a little
    // from a paused reader (it compacts its receive queue), and each block it takes frees a slot
    // for a later write; all the others written while the window was full are dropped.
    ASSERT_GE(tags.size(), 9u);
    int lateSent = 0;
    for (std::size_t i = 0; i + 1 < tags.size(); ++i) {
        if (i < 8) {
            EXPECT_LT(tags[i], firstLate) << "a block in flight at the stall was not sent first";
        }
        if (i > 0) {
            EXPECT_LT(tags[i - 1], tags[i]) << "messages out of order";
        }
        lateSent += tags[i] >= firstLate ? 1 : 0;
    }
    EXPECT_LT(lateSent, 300)
        << "blocks written while eight were in flight were queued, not dropped";
    EXPECT_FALSE(link.sink->isClosed());
    EXPECT_TRUE(link.errors.lines().empty());
}

// ---------------------------------------------------------------------------------------------
// Failures

bool isFailureLine(const std::string& line, const std::string& kind) {
    const auto parsed = json::parse(line);
    const std::string prefix = "monitor_audio_websocket_" + kind + "_failed:";
    const auto message = parsed["error"].get<std::string>();
    return parsed["success"] == false && parsed.size() == 2 && message.rfind(prefix, 0) == 0 &&
           message.size() > prefix.size();
}

TEST(WebSocketFailures, ARefusedConnectionIsOneReceiveFailure) {
    StandardErrorCapture errors;
    auto sink = connectTo("ws://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/");
    const auto lines = errors.waitForLines(1);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(errors.lines().size(), 1u);
    EXPECT_EQ(lines[0], errorLine("monitor_audio_websocket_receive_failed:Connection refused"));
    EXPECT_TRUE(sink->isClosed());
    sink->write(taggedBlock(1, 960));
    EXPECT_EQ(sink->pendingWriteCount(), 0);
    // What the start-up line names stays the same once the sink has failed.
    EXPECT_EQ(sink->transportName(), "websocket");
    EXPECT_EQ(sink->formatName(), "pcm_s16le");
}

TEST(WebSocketFailures, AFailedHandshakeFailsEveryQueuedSendOnce) {
    Connection link({"--handshake-delay", "30"}, Connection::Handshake::notAwaited);
    for (int tag = 0; tag < 3; ++tag) {
        link.sink->write(taggedBlock(tag, 960));
    }
    ASSERT_EQ(link.sink->pendingWriteCount(), 3);
    std::this_thread::sleep_for(200ms);  // connected, waiting for the handshake answer
    link.peer.kill();

    const auto lines = link.errors.waitForLines(4);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(link.errors.lines().size(), 4u);
    EXPECT_TRUE(isFailureLine(lines[0], "receive")) << lines[0];
    const std::string description = json::parse(lines[0])["error"].get<std::string>().substr(
        std::strlen("monitor_audio_websocket_receive_failed:"));
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(lines[i], errorLine("monitor_audio_websocket_send_failed:" + description));
    }
    EXPECT_EQ(link.sink->pendingWriteCount(), 0);
    EXPECT_TRUE(link.sink->isClosed());
}

TEST(WebSocketFailures, AServerClosingMidStreamEndsTheStream) {
    Connection link;
    link.sink->write(taggedBlock(1, 960));
    ASSERT_EQ(link.peer.binaryMessages(1).size(), 1u);
    link.peer.command("close 1000");
    const auto closed = link.peer.waitFor("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["code"], 1000);

    const auto lines = link.errors.waitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isFailureLine(lines[0], "receive")) << lines[0];
    EXPECT_TRUE(link.sink->isClosed());
    link.sink->write(taggedBlock(2, 960));
    EXPECT_EQ(link.sink->pendingWriteCount(), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(link.errors.lines().size(), 1u);
}

TEST(WebSocketFailures, AKilledServerIsReportedOnceAndLaterBlocksAreDropped) {
    Connection link;
    std::thread killer([&] {
        std::this_thread::sleep_for(100ms);
        link.peer.kill();
    });
    // The audio path keeps writing through the failure, as a capture would.
    int tag = 0;
    const auto until = Clock::now() + 600ms;
    while (Clock::now() < until) {
        link.sink->write(taggedBlock(tag++ % 30000, 960));
        std::this_thread::sleep_for(1ms);
    }
    killer.join();

    const auto lines = link.errors.waitForLines(1);
    ASSERT_TRUE(eventually([&] { return link.sink->pendingWriteCount() == 0; }));
    ASSERT_FALSE(lines.empty());
    int receiveFailures = 0;
    for (const auto& line : link.errors.lines()) {
        const bool receive = isFailureLine(line, "receive");
        EXPECT_TRUE(receive || isFailureLine(line, "send")) << line;
        receiveFailures += receive ? 1 : 0;
    }
    EXPECT_LE(receiveFailures, 1);
    EXPECT_LE(link.errors.lines().size(), 9u) << "more failures than sends in flight";
    EXPECT_TRUE(link.sink->isClosed());
    link.sink->write(taggedBlock(1, 960));
    EXPECT_EQ(link.sink->pendingWriteCount(), 0);
}

// One receive failure, the certificate check's.
void expectCertificateRefused(const StandardErrorCapture& errors) {
    const auto lines = errors.waitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isFailureLine(lines[0], "receive")) << lines[0];
    EXPECT_NE(lines[0].find("certificate verify failed"), std::string::npos) << lines[0];
}

TEST(WebSocketFailures, AnUntrustedCertificateIsAFailure) {
    SelfSignedCertificate certificate("DNS:localhost,IP:127.0.0.1");
    Connection link(certificate, "localhost", "/", Connection::Handshake::notAwaited);
    expectCertificateRefused(link.errors);
    EXPECT_TRUE(link.sink->isClosed());
    for (const auto& event : link.peer.drain()) {
        EXPECT_NE(event["event"], "connected");
    }
}

// Trust comes from the system store; OpenSSL lets SSL_CERT_FILE stand in for it, so the test's own
// certificate can be the trusted one.
class TrustedCertificate {
  public:
    explicit TrustedCertificate(const SelfSignedCertificate& certificate) {
        ::setenv("SSL_CERT_FILE", certificate.certificate.c_str(), 1);
    }
    ~TrustedCertificate() { ::unsetenv("SSL_CERT_FILE"); }
};

TEST(WebSocketSecure, StreamsOverTLSWithServerNameIndication) {
    SelfSignedCertificate certificate("DNS:localhost");
    TrustedCertificate trusted(certificate);
    Connection link(certificate, "localhost", "/secure?q=1", Connection::Handshake::awaited);
    ASSERT_TRUE(link.connected);
    EXPECT_EQ((*link.connected)["sni"], "localhost");
    EXPECT_EQ((*link.connected)["path"], "/secure?q=1");
    link.sink->write(std::vector<float>{1.0f, -1.0f, 0.5f, -0.5f});
    const auto messages = link.peer.binaryMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["hex"], "ff7f0080004000c0");
    link.sink->close();
    link.sink.reset();
    link.expectGoingAwayWithoutErrors();
}

TEST(WebSocketSecure, ATrustedCertificateForAnotherHostIsAFailure) {
    SelfSignedCertificate certificate("DNS:localhost");
    TrustedCertificate trusted(certificate);
    // The certificate names localhost, not the address.
    Connection link(certificate, "127.0.0.1", "/", Connection::Handshake::notAwaited);
    expectCertificateRefused(link.errors);
}

// ---------------------------------------------------------------------------------------------
// Closing and releasing

TEST(WebSocketClose, SendsGoingAwayAfterWhatWasHandedOver) {
    Connection link;
    link.sink->write(taggedBlock(1, 960));
    link.sink->write(taggedBlock(2, 960));
    link.sink->close();
    link.sink->close();
    link.sink->write(taggedBlock(3, 960));  // dropped
    EXPECT_TRUE(link.sink->isClosed());
    // close() has waited for the closing handshake, so releasing at once, as the process does
    // when it ends, loses nothing.
    link.sink.reset();

    const auto messages = link.peer.binaryMessages(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(tagOf(messages[0]), 1);
    EXPECT_EQ(tagOf(messages[1]), 2);
    // Nor is the receive that fails after close() reported.
    link.expectGoingAwayWithoutErrors();
    EXPECT_TRUE(link.peer.binaryMessages(1, 200ms).empty());
}

// A transport whose send() takes its time, as when the capture's thread is preempted in the middle
// of handing a block over (too rare to provoke against a real server); it records the sink's calls.
class SlowHandOverTransport final : public WebSocketTransport {
  public:
    void start(std::weak_ptr<WebSocketTransportListener>) override {}
    void send(std::span<const std::uint8_t>, std::shared_ptr<const void>) override {
        sending.count_down();
        std::this_thread::sleep_for(100ms);
        record("send");
    }
    void close() override { record("close"); }
    bool waitUntilFinished(std::chrono::milliseconds) override { return true; }
    bool isListenerThread() const override { return false; }

    std::vector<std::string> calls() {
        std::lock_guard guard(lock_);
        return calls_;
    }
    std::latch sending{1};

  private:
    void record(const std::string& call) {
        std::lock_guard guard(lock_);
        calls_.push_back(call);
    }
    std::mutex lock_;
    std::vector<std::string> calls_;
};

// A transport refuses what comes after its close (the real one reports it as a failed send).
TEST(WebSocketClose, ABlockBeingHandedOverGoesBeforeTheClose) {
    auto transport = std::make_unique<SlowHandOverTransport>();
    SlowHandOverTransport& slow = *transport;
    auto sink = WebSocketAudioSink::create(std::move(transport));
    std::thread capture([&] { sink->write(taggedBlock(1, 960)); });
    slow.sending.wait();
    sink->close();
    capture.join();
    sink->write(taggedBlock(2, 960));  // dropped
    EXPECT_EQ(slow.calls(), (std::vector<std::string>{"send", "close"}));
}

TEST(WebSocketClose, ClosingBeforeTheHandshakeStillEndsWithGoingAway) {
    Connection link({"--handshake-delay", "0.1"}, Connection::Handshake::notAwaited);
    link.sink->write(taggedBlock(7, 960));
    link.sink->close();
    EXPECT_TRUE(link.sink->waitUntilFinished(5s));
    const auto messages = link.peer.binaryMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(tagOf(messages[0]), 7);
    link.expectGoingAwayWithoutErrors();
}

TEST(WebSocketClose, ClosingOnAStalledServerGivesUpAfterItsGracePeriod) {
    Connection link;
    link.peer.command("pause");
    ASSERT_TRUE(link.peer.waitFor("done"));
    for (int tag = 0; link.sink->pendingWriteCount() < 8; ++tag) {
        ASSERT_LT(tag, 20000);
        link.sink->write(taggedBlock(tag, 48000));
        std::this_thread::sleep_for(1ms);
    }
    // The close frame cannot pass the stalled writes: close() gives up after its grace period
    // instead of hanging (the upper bound is only a hang guard), and releasing does not wait again.
    const auto start = Clock::now();
    link.sink->close();
    const auto closing = Clock::now() - start;
    EXPECT_GE(closing, WebSocketAudioSink::closeGracePeriod - 10ms);
    EXPECT_LT(closing, 5s);
    EXPECT_FALSE(link.sink->waitUntilFinished(0ms));
    const auto releasing = Clock::now();
    link.sink.reset();
    EXPECT_LT(Clock::now() - releasing, WebSocketAudioSink::closeGracePeriod);
}

TEST(WebSocketClose, ReleasesFromAnyMomentLeaveNoThreadBehind) {
    WebSocketPeer peer;
    // One round first: runtimes (a sanitizer's, say) may start a thread of their own for the first
    // thread the process creates.
    connectTo(peer.url())->close();
    const long threadsBefore = threadCount();
    {
        StandardErrorCapture errors;
        for (int round = 0; round < 30; ++round) {
            auto sink = connectTo(peer.url());
            // Released while connecting, while sends complete, or after closing.
            if (round % 3 >= 1) {
                for (int tag = 0; tag < 10; ++tag) {
                    sink->write(taggedBlock(tag, 960));
                }
            }
            if (round % 3 == 2) {
                sink->close();
            }
            if (round % 2 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
            }
        }
    }
    EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore; }, 5s))
        << threadCount() << " threads, " << threadsBefore << " before";
    // The server is still there and a new sink still streams.
    auto sink = connectTo(peer.url());
    sink->write(taggedBlock(4242, 960));
    bool seen = false;
    while (!seen) {
        const auto batch = peer.binaryMessages(1, 10s);
        ASSERT_EQ(batch.size(), 1u) << "the new sink's block never arrived";
        seen = tagOf(batch[0]) == 4242;
    }
}

// A module whose table has another layout is reported and never called (every function here is
// null); the capture runs on without a sink.
TEST(WebSocketModuleTable, ATableOfAnotherVersionIsReportedAndNeverCalled) {
    QorWebSocketSinkFunctions other{};
    other.version = QOR_WEBSOCKET_SINK_VERSION + 1;
    StandardErrorCapture errors;
    const auto sink = makeModuleWebSocketSink(&other, *WebSocketURL::parse("ws://127.0.0.1:1/"));
    const std::vector<float> block(256, 0.5f);
    sink->write(block);
    sink->stopWaiting();
    sink->close();
    EXPECT_EQ(sink->transportName(), "websocket");
    EXPECT_EQ(sink->formatName(), "pcm_s16le");
    EXPECT_EQ(
        errors.waitForLines(1),
        std::vector<std::string>{errorLine(
            "monitor_audio_websocket_send_failed:the WebSocket module is of another version")});
}

}  // namespace
}  // namespace qor
