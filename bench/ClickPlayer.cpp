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
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kStride = kChannels * sizeof(float);

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Player {
    // Set up on the main thread before the stream connects; read-only afterwards.
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    std::uint64_t delayFrames = 0;
    std::uint64_t intervalFrames = 0;
    std::uint32_t clicks = 0;
    // One slot per click, written once by the data thread before `clicksWritten` publishes it.
    std::unique_ptr<std::atomic<std::int64_t>[]> clickTimes;
    std::unique_ptr<std::atomic<std::uint32_t>[]> clickFrames;
    std::unique_ptr<std::atomic<std::uint32_t>[]> clickQuanta;

    // Written by the main thread (io_changed), read by the data thread.
    std::atomic<spa_io_position*> position{nullptr};

    // Data thread only.
    std::uint64_t framesWritten = 0;

    // Written by the data thread, read by the main thread's reporting timer.
    std::atomic<std::uint32_t> clicksWritten{0};
    std::atomic<std::uint32_t> quantumFrames{0};
    std::atomic<std::uint32_t> quantumRate{0};

    // Main thread only.
    std::uint32_t clicksPrinted = 0;
    std::uint32_t printedQuantumFrames = 0;
    std::uint32_t printedQuantumRate = 0;
};

void onIoChanged(void* data, std::uint32_t id, void* area, std::uint32_t size) {
    auto* player = static_cast<Player*>(data);
    if (id == SPA_IO_Position) {
        player->position.store(
            size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr,
            std::memory_order_release);
    }
}

void onProcess(void* data) {
    auto* player = static_cast<Player*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(player->stream);
    if (buffer == nullptr) {
        return;
    }
    spa_data& out = buffer->buffer->datas[0];
    auto* samples = static_cast<float*>(out.data);
    if (samples == nullptr) {
        pw_stream_queue_buffer(player->stream, buffer);
        return;
    }
    std::uint32_t frames = out.maxsize / kStride;
    if (buffer->requested != 0 && buffer->requested < frames) {
        frames = static_cast<std::uint32_t>(buffer->requested);
    }
    std::memset(samples, 0, static_cast<std::size_t>(frames) * kStride);

    if (const spa_io_position* position = player->position.load(std::memory_order_acquire)) {
        player->quantumFrames.store(static_cast<std::uint32_t>(position->clock.duration),
                                    std::memory_order_relaxed);
        player->quantumRate.store(position->clock.rate.denom, std::memory_order_relaxed);
    } else if (buffer->requested != 0) {
        player->quantumFrames.store(static_cast<std::uint32_t>(buffer->requested),
                                    std::memory_order_relaxed);
        player->quantumRate.store(kRate, std::memory_order_relaxed);
    }

    const std::uint32_t next = player->clicksWritten.load(std::memory_order_relaxed);
    const bool click =
        next < player->clicks && frames > 0 &&
        player->framesWritten >= player->delayFrames + std::uint64_t{next} * player->intervalFrames;
    if (click) {
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            samples[channel] = 1.0f;
        }
    }
    out.chunk->offset = 0;
    out.chunk->stride = kStride;
    out.chunk->size = frames * kStride;
    player->framesWritten += frames;
    if (click) {
        player->clickTimes[next].store(monotonicNanoseconds(), std::memory_order_relaxed);
        player->clickFrames[next].store(frames, std::memory_order_relaxed);
        player->clickQuanta[next].store(player->quantumFrames.load(std::memory_order_relaxed),
                                        std::memory_order_relaxed);
        player->clicksWritten.store(next + 1, std::memory_order_release);
    }
    pw_stream_queue_buffer(player->stream, buffer);
}

// Printing stays off the data thread: this timer on the main loop reports what it has published.
void report(void* data, std::uint64_t) {
    auto* player = static_cast<Player*>(data);
    const std::uint32_t frames = player->quantumFrames.load(std::memory_order_relaxed);
    const std::uint32_t rate = player->quantumRate.load(std::memory_order_relaxed);
    if (frames != 0 && rate != 0 &&
        (frames != player->printedQuantumFrames || rate != player->printedQuantumRate)) {
        std::printf("{\"event\":\"quantum\",\"frames\":%u,\"rate\":%u,\"ms\":%.3f}\n", frames, rate,
                    1000.0 * frames / rate);
        player->printedQuantumFrames = frames;
        player->printedQuantumRate = rate;
    }
    const std::uint32_t written = player->clicksWritten.load(std::memory_order_acquire);
    for (; player->clicksPrinted < written; ++player->clicksPrinted) {
        const std::uint32_t index = player->clicksPrinted;
        std::printf(
            "{\"event\":\"click\",\"index\":%u,\"monotonic_ns\":%lld,\"frames\":%u,"
            "\"quantum\":%u}\n",
            index,
            static_cast<long long>(player->clickTimes[index].load(std::memory_order_relaxed)),
            player->clickFrames[index].load(std::memory_order_relaxed),
            player->clickQuanta[index].load(std::memory_order_relaxed));
        if (index + 1 == player->clicks) {
            std::printf("{\"event\":\"done\"}\n");
        }
    }
    std::fflush(stdout);
}

void quit(void* data, int) {
    pw_main_loop_quit(static_cast<Player*>(data)->loop);
}

long argument(int argc, char** argv, int index, long fallback) {
    return index < argc ? std::atol(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    pw_init(&argc, &argv);
    const long delayMs = argument(argc, argv, 1, 1000);
    const long intervalMs = argument(argc, argv, 2, 500);
    const long clicks = argument(argc, argv, 3, 10);
    if (delayMs < 0 || intervalMs <= 0 || clicks <= 0) {
        std::fprintf(stderr, "usage: QorBenchClickPlayer [DELAY_MS [INTERVAL_MS [CLICKS]]]\n");
        return 2;
    }

    Player player;
    player.delayFrames = static_cast<std::uint64_t>(delayMs) * kRate / 1000;
    player.intervalFrames = static_cast<std::uint64_t>(intervalMs) * kRate / 1000;
    player.clicks = static_cast<std::uint32_t>(clicks);
    player.clickTimes = std::make_unique<std::atomic<std::int64_t>[]>(player.clicks);
    player.clickFrames = std::make_unique<std::atomic<std::uint32_t>[]>(player.clicks);
    player.clickQuanta = std::make_unique<std::atomic<std::uint32_t>[]>(player.clicks);

    player.loop = pw_main_loop_new(nullptr);
    if (player.loop == nullptr) {
        return 1;
    }
    pw_loop* loop = pw_main_loop_get_loop(player.loop);
    pw_loop_add_signal(loop, SIGINT, quit, &player);
    pw_loop_add_signal(loop, SIGTERM, quit, &player);

    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "QorBenchClickPlayer", PW_KEY_NODE_NAME, "qor-bench-click",
        PW_KEY_MEDIA_NAME, "clicks", nullptr);
    static const pw_stream_events events = [] {
        pw_stream_events value{};
        value.version = PW_VERSION_STREAM_EVENTS;
        value.io_changed = onIoChanged;
        value.process = onProcess;
        return value;
    }();
    player.stream = pw_stream_new_simple(loop, "qor-bench-click", properties, &events, &player);
    if (player.stream == nullptr) {
        pw_main_loop_destroy(player.loop);
        return 1;
    }
    std::uint8_t podBuffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* parameters[] = {
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int connected = pw_stream_connect(
        player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        parameters, 1);

    int status = 1;
    if (connected >= 0) {
        spa_source* timer = pw_loop_add_timer(loop, report, &player);
        timespec value{0, 5000000};
        timespec interval{0, 5000000};
        pw_loop_update_timer(loop, timer, &value, &interval, false);
        pw_main_loop_run(player.loop);
        status = 0;
    }
    pw_stream_destroy(player.stream);
    pw_main_loop_destroy(player.loop);
    pw_deinit();
    return status;
}
