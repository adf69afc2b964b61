// The audio path allocates nothing once a capture runs. This executable replaces the global
// allocation functions to count, on the calling thread only and only between two marks, every
// allocation the per-cycle work makes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <numbers>
#include <thread>

#include "AudioSinks.h"
#include "CoreAudioTapCapture.h"
#include "IOBufferRelay.h"
#include "SimulatedPlatform.h"
#include "WebSocketAudioSink.h"
#include "WebSocketTestSupport.h"

namespace {
thread_local bool counting = false;
std::atomic<std::size_t> allocations{0};

void* allocate(std::size_t size, std::size_t alignment) {
    if (counting) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    size = size == 0 ? 1 : size;
    void* memory =
        alignment <= alignof(std::max_align_t)
            ? std::malloc(size)
            : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
}  // namespace

void* operator new(std::size_t size) {
    return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}

namespace qor {
namespace {

// Standard output goes to /dev/null while a test writes audio to it.
class SilencedStandardOutput {
  public:
    SilencedStandardOutput() : saved_(::dup(1)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 1);
        ::close(null);
    }
    ~SilencedStandardOutput() {
        ::dup2(saved_, 1);
        ::close(saved_);
    }

  private:
    int saved_;
};

// Feeds one cycle of the largest size, then 1000 cycles of varying sizes up to it (as a device
// that delivers short cycles now and then), and returns the allocations those 1000 made. What
// `betweenCycles` does is not counted.
std::size_t allocationsOverCycles(
    CoreAudioTapCapture& capture, const std::function<void()>& betweenCycles = [] {}) {
    constexpr std::size_t kLargest = 1024;
    std::vector<float> samples(2 * kLargest);
    for (std::size_t k = 0; k < kLargest; ++k) {
        samples[2 * k] = samples[2 * k + 1] =
            0.5f * float(std::sin(2.0 * std::numbers::pi * 440.0 * double(k) / 48000.0));
    }
    AudioBufferListStorage storage(1);
    auto cycle = [&](std::size_t frames) {
        storage.buffer(0) = {2, std::uint32_t(frames * 8), samples.data()};
        capture.consume(storage.list());
    };
    cycle(kLargest);
    allocations = 0;
    counting = true;
    for (std::size_t i = 0; i < 1000; ++i) {
        counting = false;
        betweenCycles();
        counting = true;
        cycle(std::size_t{1} + (i * 331) % kLargest);
    }
    counting = false;
    return allocations.load();
}

// The device thread's side of the hand-over, in a steady capture: copying a cycle into its slot
// and waking the I/O queue allocate nothing.
TEST(HandOverAllocations, DeliveringACycleAllocatesNothing) {
    IOQueue queue("com.example.relay");
    std::atomic<int> delivered{0};
    auto relay = IOBufferRelay::create(
        queue, [&](const AudioBufferList&, const IOCycleTime&) { ++delivered; });
    std::vector<float> samples(2 * 512);
    AudioBufferListStorage storage(1);
    storage.buffer(0) = {2, std::uint32_t(samples.size() * 4), samples.data()};
    relay->deliver(storage.list(), {});
    allocations = 0;
    for (int i = 1; i < 1000; ++i) {
        while (delivered < i) {
            std::this_thread::yield();
        }
        counting = true;
        relay->deliver(storage.list(), {});
        counting = false;
    }
    EXPECT_EQ(allocations.load(), 0u);
}

class AudioPathAllocations : public ::testing::TestWithParam<double> {};

TEST_P(AudioPathAllocations, StandardOutputSinkAllocatesNothingAfterTheFirstCycle) {
    simulated::SimulatedPlatform platform{simulated::Scenario{}};
    auto view = platform.platform();
    auto capture =
        CoreAudioTapCapture::create(CLIOptions{}, std::make_shared<StandardOutputSink>(), view);
    capture->setResamplerForTesting(GetParam());
    std::size_t counted = 0;
    {
        SilencedStandardOutput silenced;
        counted = allocationsOverCycles(*capture);
    }
    EXPECT_EQ(counted, 0u);
    // The cycles did the work: a block reached the sink for nearly every one of them.
    EXPECT_GE(capture->writeCount(), 990u);
    EXPECT_GT(capture->lastPeak(), 0.0f);
}

// Holds up to three messages and completes the oldest when a fourth arrives, on the writing thread,
// so the window's buffers go out and come back in order as with a server a few blocks behind.
class LaggingTransport final : public WebSocketTransport {
  public:
    void start(std::weak_ptr<WebSocketTransportListener> listener) override {
        listener_ = std::move(listener);
    }
    void send(std::span<const std::uint8_t>, std::shared_ptr<const void>) override {
        ++sent;
        if (++held_ > 3) {
            --held_;
            listener_.lock()->sendCompleted(std::nullopt);
        }
    }
    void close() override {}
    bool waitUntilFinished(std::chrono::milliseconds) override { return true; }
    bool isListenerThread() const override { return false; }

    std::size_t sent = 0;

  private:
    std::weak_ptr<WebSocketTransportListener> listener_;
    int held_ = 0;
};

TEST_P(AudioPathAllocations, WebSocketSinkAllocatesNothingAfterTheFirstCycle) {
    simulated::SimulatedPlatform platform{simulated::Scenario{}};
    auto view = platform.platform();
    auto transport = std::make_unique<LaggingTransport>();
    LaggingTransport& lagging = *transport;
    auto sink = WebSocketAudioSink::create(std::move(transport));
    auto capture = CoreAudioTapCapture::create(CLIOptions{}, sink, view);
    capture->setResamplerForTesting(GetParam());
    EXPECT_EQ(allocationsOverCycles(*capture), 0u);
    // Nothing was dropped: every block went out through the window.
    EXPECT_GE(lagging.sent, 990u);
    EXPECT_EQ(sink->pendingWriteCount(), 3);
}

// The same over the platform's own transport and a real server: the hand-over to the network thread
// allocates nothing either (what that thread does is not counted). The cycles wait for room in the
// window, so that every block is handed over rather than dropped.
TEST_P(AudioPathAllocations, WebSocketTransportAllocatesNothingOnTheAudioPath) {
    testing::WebSocketPeer peer;
    const auto url = WebSocketURL::parse(peer.url());
    ASSERT_TRUE(url.has_value());
    simulated::SimulatedPlatform platform{simulated::Scenario{}};
    auto view = platform.platform();
    auto sink = WebSocketAudioSink::create(*url);
    auto capture = CoreAudioTapCapture::create(CLIOptions{}, sink, view);
    capture->setResamplerForTesting(GetParam());
    ASSERT_TRUE(peer.waitFor("connected"));
    // Reads what the server saw while the cycles run, until the sink has closed and all is read.
    std::atomic<bool> closed{false};
    std::size_t received = 0;
    std::thread reader([&] {
        for (std::size_t batch = 1; batch != 0 || !closed;) {
            batch = peer.binaryMessages(256, std::chrono::milliseconds(500)).size();
            received += batch;
        }
    });
    const auto roomInTheWindow = [&] {
        testing::eventually(
            [&] { return sink->pendingWriteCount() < WebSocketAudioSink::maximumPendingWrites; });
    };
    EXPECT_EQ(allocationsOverCycles(*capture, roomInTheWindow), 0u);
    EXPECT_FALSE(sink->isClosed()) << "the connection failed";
    sink->close();
    closed = true;
    reader.join();
    EXPECT_GE(received, 990u);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioPathAllocations, ::testing::Values(48000.0, 44100.0),
                         [](const auto& info) {
                             return info.param == 48000.0 ? "Bypass" : "Resampled";
                         });

// The counter itself works: without this, a broken replacement would pass every test above.
TEST(AllocationCounter, SeesAnAllocationBetweenTheMarks) {
    allocations = 0;
    counting = true;
    auto* vector = new std::vector<float>(16);
    counting = false;
    delete vector;
    EXPECT_EQ(allocations.load(), 2u);
}

}  // namespace
}  // namespace qor
