// A PipeWire playback stream of silence with clicks in it, for measuring how long a click takes
// from the player to a recorder's output.
//
//   QorBenchClickPlayer [DELAY_MS [INTERVAL_MS [CLICKS]]]      (defaults 1000, 500, 10)
//
// Plays float32 stereo at 48000 frames per second. DELAY_MS of stream time after the first buffer,
// and then every INTERVAL_MS, the next buffer starts with one full-scale frame (1.0 on both
// channels); the rest is silence. Prints JSON lines on standard output:
//   {"event":"quantum","frames":N,"rate":R,"ms":M}   the graph's cycle, when first known and
//                                                    whenever it changes (a recorder joining the
//                                                    graph may ask for another)
//   {"event":"click","index":I,"monotonic_ns":T,"frames":F,"quantum":Q}
//                                                    T is CLOCK_MONOTONIC when the buffer holding
//                                                    the click was filled, just before it was
//                                                    queued; the click is the buffer's first frame,
//                                                    so no offset needs correcting. F is that
//                                                    buffer's length, Q the cycle's, in frames
//   {"event":"done"}                                 after the last click
// Plays silence on until SIGTERM or SIGINT.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "TonePlayer.h"

namespace {

using qor::tone::kRate;
constexpr std::uint32_t kChannels = 2;

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class ClickPlayer final : public qor::tone::PlaybackStream {
  public:
    ClickPlayer(pw_loop* loop, long delayMs, long intervalMs, long clicks)
        : PlaybackStream(
              loop, "qor-bench-click", kChannels,
              pw_properties_new(PW_KEY_APP_NAME, "QorBenchClickPlayer", PW_KEY_NODE_NAME,
                                "qor-bench-click", PW_KEY_MEDIA_NAME, "clicks", nullptr)),
          delayFrames_(static_cast<std::uint64_t>(delayMs) * kRate / 1000),
          intervalFrames_(static_cast<std::uint64_t>(intervalMs) * kRate / 1000),
          clicks_(static_cast<std::uint32_t>(clicks)),
          clickTimes_(std::make_unique<std::atomic<std::int64_t>[]>(clicks_)),
          clickFrames_(std::make_unique<std::atomic<std::uint32_t>[]>(clicks_)),
          clickQuanta_(std::make_unique<std::atomic<std::uint32_t>[]>(clicks_)) {}

    // Printing stays off the data thread: a timer on the main loop reports what it has published.
    void report() {
        const std::uint32_t frames = quantumFrames_.load(std::memory_order_relaxed);
        const std::uint32_t rate = quantumRate_.load(std::memory_order_relaxed);
        if (frames != 0 && rate != 0 &&
            (frames != printedQuantumFrames_ || rate != printedQuantumRate_)) {
            std::printf("{\"event\":\"quantum\",\"frames\":%u,\"rate\":%u,\"ms\":%.3f}\n", frames,
                        rate, 1000.0 * frames / rate);
            printedQuantumFrames_ = frames;
            printedQuantumRate_ = rate;
        }
        const std::uint32_t written = clicksWritten_.load(std::memory_order_acquire);
        for (; clicksPrinted_ < written; ++clicksPrinted_) {
            const std::uint32_t index = clicksPrinted_;
            std::printf(
                "{\"event\":\"click\",\"index\":%u,\"monotonic_ns\":%lld,\"frames\":%u,"
                "\"quantum\":%u}\n",
                index, static_cast<long long>(clickTimes_[index].load(std::memory_order_relaxed)),
                clickFrames_[index].load(std::memory_order_relaxed),
                clickQuanta_[index].load(std::memory_order_relaxed));
            if (index + 1 == clicks_) {
                std::printf("{\"event\":\"done\"}\n");
            }
        }
        std::fflush(stdout);
    }

  private:
    void render(float* samples, std::uint32_t frames, const qor::tone::Quantum& quantum) override {
        std::memset(samples, 0, std::size_t{frames} * kChannels * sizeof(float));
        if (quantum.frames != 0) {
            quantumFrames_.store(quantum.frames, std::memory_order_relaxed);
            quantumRate_.store(quantum.rate, std::memory_order_relaxed);
        }
        const std::uint32_t next = clicksWritten_.load(std::memory_order_relaxed);
        const bool click = next < clicks_ && frames > 0 &&
                           framesWritten_ >= delayFrames_ + std::uint64_t{next} * intervalFrames_;
        framesWritten_ += frames;
        if (!click) {
            return;
        }
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            samples[channel] = 1.0f;
        }
        clickTimes_[next].store(monotonicNanoseconds(), std::memory_order_relaxed);
        clickFrames_[next].store(frames, std::memory_order_relaxed);
        clickQuanta_[next].store(quantumFrames_.load(std::memory_order_relaxed),
                                 std::memory_order_relaxed);
        clicksWritten_.store(next + 1, std::memory_order_release);
    }

    // Set by the constructor; read-only afterwards.
    const std::uint64_t delayFrames_;
    const std::uint64_t intervalFrames_;
    const std::uint32_t clicks_;
    // One slot per click, written once by the data thread before `clicksWritten_` publishes it.
    std::unique_ptr<std::atomic<std::int64_t>[]> clickTimes_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> clickFrames_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> clickQuanta_;

    // Data thread only.
    std::uint64_t framesWritten_ = 0;

    // Written by the data thread, read by the main thread's reporting timer.
    std::atomic<std::uint32_t> clicksWritten_{0};
    std::atomic<std::uint32_t> quantumFrames_{0};
    std::atomic<std::uint32_t> quantumRate_{0};

    // Main thread only.
    std::uint32_t clicksPrinted_ = 0;
    std::uint32_t printedQuantumFrames_ = 0;
    std::uint32_t printedQuantumRate_ = 0;
};

long argument(int argc, char** argv, int index, long fallback) {
    return index < argc ? std::atol(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    qor::tone::MainLoop main(argc, argv);
    const long delayMs = argument(argc, argv, 1, 1000);
    const long intervalMs = argument(argc, argv, 2, 500);
    const long clicks = argument(argc, argv, 3, 10);
    if (delayMs < 0 || intervalMs <= 0 || clicks <= 0) {
        std::fprintf(stderr, "usage: QorBenchClickPlayer [DELAY_MS [INTERVAL_MS [CLICKS]]]\n");
        return 2;
    }
    if (!main) {
        return 1;
    }
    ClickPlayer player(main.loop(), delayMs, intervalMs, clicks);
    if (!player.connect()) {
        return 1;
    }
    spa_source* timer = pw_loop_add_timer(
        main.loop(), [](void* data, std::uint64_t) { static_cast<ClickPlayer*>(data)->report(); },
        &player);
    timespec every{0, 5000000};
    pw_loop_update_timer(main.loop(), timer, &every, &every, false);
    main.run();
    return 0;
}
