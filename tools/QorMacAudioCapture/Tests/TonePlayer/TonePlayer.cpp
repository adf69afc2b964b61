#include "TonePlayer.h"

#include <spa/param/audio/format-utils.h>

#include <csignal>

namespace qor::tone {

namespace {
void quit(void* data, int) {
    pw_main_loop_quit(static_cast<pw_main_loop*>(data));
}
}  // namespace

MainLoop::MainLoop(int& argc, char**& argv) {
    pw_init(&argc, &argv);
    main_ = pw_main_loop_new(nullptr);
    if (main_ != nullptr) {
        pw_loop_add_signal(loop(), SIGINT, quit, main_);
        pw_loop_add_signal(loop(), SIGTERM, quit, main_);
    }
}

MainLoop::~MainLoop() {
    if (main_ != nullptr) {
        pw_main_loop_destroy(main_);
    }
    pw_deinit();
}

pw_loop* MainLoop::loop() const {
    return pw_main_loop_get_loop(main_);
}

void MainLoop::run() {
    pw_main_loop_run(main_);
}

PlaybackStream::PlaybackStream(pw_loop* loop, const char* name, std::uint32_t channels,
                               pw_properties* properties)
    : channels_(channels) {
    pw_properties* keys = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                            "Playback", PW_KEY_MEDIA_ROLE, "Music", nullptr);
    if (properties != nullptr) {
        pw_properties_update(keys, &properties->dict);
        pw_properties_free(properties);
    }
    static const pw_stream_events events = [] {
        pw_stream_events value{};
        value.version = PW_VERSION_STREAM_EVENTS;
        value.io_changed = onIoChanged;
        value.process = onProcess;
        return value;
    }();
    stream_ = pw_stream_new_simple(loop, name, keys, &events, this);
}

PlaybackStream::~PlaybackStream() {
    if (stream_ != nullptr) {
        pw_stream_destroy(stream_);
    }
}

bool PlaybackStream::connect() {
    if (stream_ == nullptr) {
        return false;
    }
    spa_audio_info_raw format{.format = SPA_AUDIO_FORMAT_F32,
                              .flags = 0,
                              .rate = kRate,
                              .channels = channels_,
                              .position = {}};
    if (channels_ == 1) {
        format.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        format.position[0] = SPA_AUDIO_CHANNEL_FL;
        format.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    std::uint8_t podBuffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
    const spa_pod* formats[] = {
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, formats, 1) >= 0;
}

void PlaybackStream::onIoChanged(void* data, std::uint32_t id, void* area, std::uint32_t size) {
    if (id == SPA_IO_Position) {
        static_cast<PlaybackStream*>(data)->position_.store(
            size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr,
            std::memory_order_release);
    }
}

void PlaybackStream::onProcess(void* data) {
    auto* self = static_cast<PlaybackStream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (buffer == nullptr) {
        return;
    }
    spa_data& out = buffer->buffer->datas[0];
    const std::uint32_t stride = self->channels_ * sizeof(float);
    if (out.data != nullptr) {
        std::uint32_t frames = out.maxsize / stride;
        if (buffer->requested != 0 && buffer->requested < frames) {
            frames = static_cast<std::uint32_t>(buffer->requested);
        }
        Quantum quantum;
        if (const spa_io_position* position = self->position_.load(std::memory_order_acquire)) {
            quantum = {static_cast<std::uint32_t>(position->clock.duration),
                       position->clock.rate.denom};
        } else if (buffer->requested != 0) {
            quantum = {static_cast<std::uint32_t>(buffer->requested), kRate};
        }
        self->render(static_cast<float*>(out.data), frames, quantum);
        out.chunk->offset = 0;
        out.chunk->stride = static_cast<std::int32_t>(stride);
        out.chunk->size = frames * stride;
    }
    pw_stream_queue_buffer(self->stream_, buffer);
}

}  // namespace qor::tone
