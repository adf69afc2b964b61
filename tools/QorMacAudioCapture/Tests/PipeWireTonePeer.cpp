// A test peer: a PipeWire client that connects at once but only starts its playback stream (a
// mono sine) after a delay, so a capture can select the process before its stream exists. The
// stream comes through a second connection of the same process, as in programs that open one
// connection per stream.
//
//   qor-delayed-tone FREQUENCY DELAY_MS [CHILD_COMMAND...]
//
// Plays until SIGTERM or SIGINT. A child command is started at once, as an application's helper
// process would be, and ended with the peer. With QOR_CLAIMED_PID set, both connections declare
// that process id as their own, as a client impersonating another application would.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numbers>

#include "TonePlayer.h"

namespace {

class SinePlayer final : public qor::tone::PlaybackStream {
  public:
    SinePlayer(pw_loop* loop, double frequency)
        : PlaybackStream(loop, "qor-delayed-tone", 1, claimedProperties()), frequency_(frequency) {}

    // The connection's own declaration, when it is to claim another process.
    static pw_properties* claimedProperties() {
        const char* pid = std::getenv("QOR_CLAIMED_PID");
        return pid == nullptr ? nullptr : pw_properties_new(PW_KEY_APP_PROCESS_ID, pid, nullptr);
    }

  private:
    void render(float* samples, std::uint32_t frames, const qor::tone::Quantum&) override {
        const double step = 2.0 * std::numbers::pi * frequency_ / qor::tone::kRate;
        for (std::uint32_t i = 0; i < frames; ++i) {
            samples[i] = static_cast<float>(0.5 * std::sin(phase_));
            phase_ = std::fmod(phase_ + step, 2.0 * std::numbers::pi);
        }
    }

    const double frequency_;
    double phase_ = 0.0;  // data thread only
};

struct Peer {
    pw_loop* loop = nullptr;
    double frequency = 440.0;
    std::unique_ptr<SinePlayer> player;
};

void startStream(void* data, std::uint64_t) {
    auto* peer = static_cast<Peer*>(data);
    if (peer->player == nullptr) {
        peer->player = std::make_unique<SinePlayer>(peer->loop, peer->frequency);
        peer->player->connect();
    }
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
    {
        qor::tone::MainLoop main(argc, argv);
        if (!main) {
            return 1;
        }
        Peer peer{main.loop(), std::atof(argv[1]), nullptr};
        const long delay = std::max(1L, std::atol(argv[2]));

        // The connection that makes this process a client from the start.
        pw_context* context = pw_context_new(main.loop(), nullptr, 0);
        pw_core* core = pw_context_connect(context, SinePlayer::claimedProperties(), 0);
        if (core == nullptr) {
            return 1;
        }
        spa_source* timer = pw_loop_add_timer(main.loop(), startStream, &peer);
        timespec value{delay / 1000, (delay % 1000) * 1000000};
        timespec interval{0, 0};
        pw_loop_update_timer(main.loop(), timer, &value, &interval, false);

        main.run();
        peer.player.reset();
        pw_core_disconnect(core);
        pw_context_destroy(context);
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    return 0;
}
