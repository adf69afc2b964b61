// A test peer: a PipeWire client that connects at once but only starts its playback stream (a
// mono sine) after a delay, so a capture can select the process before its stream exists. The
// stream comes through a second connection of the same process, as in programs that open one
// connection per stream.
//
//   qor-delayed-tone FREQUENCY DELAY_MS [CHILD_COMMAND...]
//
// Plays until SIGTERM or SIGINT. A child command is started at once, as an application's helper
// process would be, and ended with the peer.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <numbers>

namespace {

struct Player {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    double frequency = 440.0;
    double phase = 0.0;
};

constexpr std::uint32_t kRate = 48000;

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
    std::uint32_t frames = out.maxsize / sizeof(float);
    if (buffer->requested != 0 && buffer->requested < frames) {
        frames = static_cast<std::uint32_t>(buffer->requested);
    }
    const double step = 2.0 * std::numbers::pi * player->frequency / kRate;
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[i] = static_cast<float>(0.5 * std::sin(player->phase));
        player->phase = std::fmod(player->phase + step, 2.0 * std::numbers::pi);
    }
    out.chunk->offset = 0;
    out.chunk->stride = sizeof(float);
    out.chunk->size = frames * sizeof(float);
    pw_stream_queue_buffer(player->stream, buffer);
}

void startStream(void* data, std::uint64_t) {
    auto* player = static_cast<Player*>(data);
    if (player->stream != nullptr) {
        return;
    }
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                  "Playback", PW_KEY_MEDIA_ROLE, "Music", nullptr);
    static const pw_stream_events events = [] {
        pw_stream_events value{};
        value.version = PW_VERSION_STREAM_EVENTS;
        value.process = onProcess;
        return value;
    }();
    player->stream = pw_stream_new_simple(pw_main_loop_get_loop(player->loop), "qor-delayed-tone",
                                          properties, &events, player);
    std::uint8_t podBuffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* parameters[] = {
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    pw_stream_connect(
        player->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        parameters, 1);
}

void quit(void* data, int) {
    pw_main_loop_quit(static_cast<Player*>(data)->loop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    pid_t child = -1;
    if (argc > 3) {
        child = fork();
        if (child == 0) {
            execv(argv[3], argv + 3);
            _exit(127);
        }
    }
    pw_init(&argc, &argv);
    Player player;
    player.frequency = std::atof(argv[1]);
    const long delay = std::max(1L, std::atol(argv[2]));
    player.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(player.loop);
    pw_loop_add_signal(loop, SIGINT, quit, &player);
    pw_loop_add_signal(loop, SIGTERM, quit, &player);

    // The connection that makes this process a client from the start.
    pw_context* context = pw_context_new(loop, nullptr, 0);
    pw_core* core = pw_context_connect(context, nullptr, 0);
    if (core == nullptr) {
        return 1;
    }
    spa_source* timer = pw_loop_add_timer(loop, startStream, &player);
    timespec value{delay / 1000, (delay % 1000) * 1000000};
    timespec interval{0, 0};
    pw_loop_update_timer(loop, timer, &value, &interval, false);

    pw_main_loop_run(player.loop);
    if (player.stream != nullptr) {
        pw_stream_destroy(player.stream);
    }
    pw_core_disconnect(core);
    pw_context_destroy(context);
    pw_main_loop_destroy(player.loop);
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    return 0;
}
