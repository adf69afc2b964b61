// The least a PipeWire client can do in a graph cycle, for the floor of a recorder's CPU per cycle:
// a node with two mono float32 input ports like the capture's, processed on PipeWire's own
// real-time data thread, that takes each port's buffer and gives it back, and does nothing else.
// With --write it is the least a recorder can do: in the same thread it interleaves the two ports'
// samples into stereo float32 and writes them to standard output, one write a cycle.
//
//   QorBenchIdleNode NODE_NAME [--write]
//
// It links nothing itself (the bench links it to the player's ports, as the capture links its
// own); it runs until SIGTERM or SIGINT.
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "TonePlayer.h"

namespace {

constexpr std::uint32_t kChannels = 2;

template <typename T, auto Release>
struct Releaser {
    void operator()(T* object) const { Release(object); }
};
template <typename T, auto Release>
using Owned = std::unique_ptr<T, Releaser<T, Release>>;

void disconnect(pw_core* core) {
    pw_core_disconnect(core);
}

// Set before the filter connects; then only the data thread touches it. It outlives the filter,
// whose listener list holds `listener` until the filter is destroyed.
struct IdleNode {
    spa_hook listener{};
    void* ports[kChannels] = {};
    bool write = false;
    float interleaved[8192 * kChannels] = {};  // the graph's largest cycle
};

// Runs on PipeWire's data thread, once a cycle.
void onProcess(void* data, spa_io_position*) {
    auto* node = static_cast<IdleNode*>(data);
    std::size_t frames = std::size(node->interleaved) / kChannels;
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        pw_buffer* buffer = pw_filter_dequeue_buffer(node->ports[channel]);
        if (buffer == nullptr) {
            frames = 0;
            continue;
        }
        const spa_buffer* held = buffer->buffer;
        const spa_data* samples = held->n_datas > 0 ? &held->datas[0] : nullptr;
        if (node->write &&
            (samples == nullptr || samples->data == nullptr || samples->chunk == nullptr)) {
            frames = 0;
        } else if (node->write) {
            const std::uint32_t offset = std::min(samples->chunk->offset, samples->maxsize);
            const std::uint32_t size = std::min(samples->chunk->size, samples->maxsize - offset);
            const auto* in =
                reinterpret_cast<const float*>(static_cast<const char*>(samples->data) + offset);
            frames = std::min<std::size_t>(frames, size / sizeof(float));
            for (std::size_t frame = 0; frame < frames; ++frame) {
                node->interleaved[frame * kChannels + channel] = in[frame];
            }
        }
        pw_filter_queue_buffer(node->ports[channel], buffer);
    }
    const auto* bytes = reinterpret_cast<const char*>(node->interleaved);
    std::size_t left = node->write ? frames * kChannels * sizeof(float) : 0;
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes, left);
        if (written <= 0) {
            break;
        }
        bytes += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

int main(int argc, char** argv) {
    qor::tone::MainLoop loop(argc, argv);
    const bool write = argc == 3 && std::strcmp(argv[2], "--write") == 0;
    if ((argc != 2 && !write) || !loop) {
        std::fprintf(stderr, "usage: QorBenchIdleNode NODE_NAME [--write]\n");
        return 2;
    }
    // The configuration PipeWire's own recorders use: their data thread is made real-time.
    const Owned<pw_context, pw_context_destroy> context(pw_context_new(
        loop.loop(), pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
    const Owned<pw_core, disconnect> core(context ? pw_context_connect(context.get(), nullptr, 0)
                                                  : nullptr);
    if (!core) {
        std::fprintf(stderr, "QorBenchIdleNode: no connection to PipeWire\n");
        return 1;
    }
    IdleNode node;
    node.write = write;
    const Owned<pw_filter, pw_filter_destroy> filter(pw_filter_new(
        core.get(), argv[1],
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_CLASS, "Stream/Input/Audio", PW_KEY_NODE_NAME, argv[1],
                          PW_KEY_NODE_AUTOCONNECT, "false", nullptr)));
    if (!filter) {
        std::fprintf(stderr, "QorBenchIdleNode: no filter\n");
        return 1;
    }
    static const pw_filter_events events = [] {
        pw_filter_events e{};
        e.version = PW_VERSION_FILTER_EVENTS;
        e.process = &onProcess;
        return e;
    }();
    pw_filter_add_listener(filter.get(), &node.listener, &events, &node);
    static constexpr const char* channels[kChannels] = {"FL", "FR"};
    static constexpr const char* portNames[kChannels] = {"input_FL", "input_FR"};
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        node.ports[channel] = pw_filter_add_port(
            filter.get(), PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
            pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                              portNames[channel], PW_KEY_AUDIO_CHANNEL, channels[channel], nullptr),
            nullptr, 0);
    }
    if (pw_filter_connect(filter.get(), PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        std::fprintf(stderr, "QorBenchIdleNode: cannot connect\n");
        return 1;
    }
    loop.run();
    return 0;
}
