// PipeWire playback for the test peers and the benchmarks' players: a main loop that ends on a
// termination signal, and a float32 playback stream that asks its owner for every buffer.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/node/io.h>

#include <atomic>
#include <cstdint>

namespace qor::tone {

constexpr std::uint32_t kRate = 48000;

// PipeWire's library for the process's life, and its main loop; SIGINT and SIGTERM end run().
class MainLoop {
  public:
    MainLoop(int& argc, char**& argv);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // False when PipeWire could not make the loop; nothing else works then.
    explicit operator bool() const { return main_ != nullptr; }
    pw_loop* loop() const;
    void run();

  private:
    pw_main_loop* main_ = nullptr;
};

// The graph's cycle, as a player sees it while it fills a buffer: from the driver's clock once the
// stream has its position, else from the buffer's request at the nominal rate; 0 until known.
struct Quantum {
    std::uint32_t frames = 0;
    std::uint32_t rate = 0;
};

// An autoconnecting playback stream of interleaved float32 at kRate, processed on PipeWire's data
// thread. A player derives from it and fills every buffer in render().
class PlaybackStream {
  public:
    // Mono or stereo. `properties` (taken over) adds to the media keys every player shares.
    PlaybackStream(pw_loop* loop, const char* name, std::uint32_t channels,
                   pw_properties* properties = nullptr);
    virtual ~PlaybackStream();
    PlaybackStream(const PlaybackStream&) = delete;
    PlaybackStream& operator=(const PlaybackStream&) = delete;

    // Negotiates the format and joins the graph. False when the stream could not be made.
    bool connect();
    std::uint32_t channels() const { return channels_; }

  protected:
    // On the data thread: `frames` interleaved frames (channels() samples each) to write in full.
    virtual void render(float* samples, std::uint32_t frames, const Quantum& quantum) = 0;

  private:
    static void onIoChanged(void* data, std::uint32_t id, void* area, std::uint32_t size);
    static void onProcess(void* data);

    // Set by the constructor; read-only afterwards.
    const std::uint32_t channels_;
    pw_stream* stream_ = nullptr;
    // Written on the main thread when PipeWire maps the area, read on the data thread.
    std::atomic<spa_io_position*> position_{nullptr};
};

}  // namespace qor::tone
