// What the captured audio is doing, in words a host can act on: flowing, silent (with the reason
// the platform suggests) or stalled. A state is reported only once it has held for a while, so a
// short pause does not make the lines flap.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "Diagnostics.h"

namespace qor {

enum class AudioStateKind { flowing, silent, stalled };

enum class AudioStateReason {
    audioArrives,       // flowing
    sourcesNotPlaying,  // silent: nothing the capture takes in is producing output
    permissionDenied,   // silent: the tap refused a description update right after its creation
    zerosWhilePlaying,  // silent: exact zeros while a tapped process says it produces output
    sourcesGone,        // silent: every chosen process has exited
    unknown,            // silent: exact zeros and the platform cannot tell why
    noCallbacks,        // stalled: the started device has not called for a second
    deviceLost,         // stalled: the device stopped being alive
    serviceRestarted,   // stalled: the audio service restarted
};

struct AudioState {
    AudioStateKind kind = AudioStateKind::silent;
    AudioStateReason reason = AudioStateReason::unknown;
    friend bool operator==(const AudioState&, const AudioState&) = default;
};

const char* audioStateText(AudioStateKind kind);
const char* audioStateReasonText(AudioStateReason reason);

// Which keys the aggregate device around the tap is described with.
enum class DeviceComposition {
    tapIsMainAndClock,  // the tap is the device's main sub-device and its clock
    tapOnly,            // the tap alone, without those two keys
};
const char* compositionText(DeviceComposition composition);

// {"composition":…,"event":"audio_state","reason":…,"state":…}, with "rebuild" (the attempt's
// number) on the line that announces a rebuild of the capture chain.
JSON audioStateLine(const AudioState& state, DeviceComposition composition,
                    std::optional<int> rebuild = std::nullopt);

// What the capture saw since the previous look.
struct AudioObservation {
    std::chrono::steady_clock::time_point now;
    bool started = false;    // the device is started and not being rebuilt
    bool callbacks = false;  // at least one I/O callback arrived
    bool audible = false;    // at least one of them carried a sample that is not an exact zero
    std::optional<bool> sourcesRunningOutput;  // absent: the platform cannot tell
    bool permissionDenied = false;
    bool sourcesGone = false;
};

// Main thread only. Fed every few hundred milliseconds; pure, so it is tested with made-up times.
class AudioStateMonitor {
  public:
    static constexpr std::chrono::milliseconds kHold{2000};
    static constexpr std::chrono::milliseconds kStallAfter{1000};

    // The state to report now: one that differs from the last reported and has held long enough
    // ("stalled" counts its second without callbacks as its hold).
    std::optional<AudioState> observe(const AudioObservation& observation);
    // Forgets the callbacks of a chain that was just replaced: the new one starts its count now.
    void restart(std::chrono::steady_clock::time_point now);
    // A state the capture reported itself (a rebuild's line): what follows is compared with it.
    void announced(const AudioState& state);
    // How long the started device has gone without a callback; zero while callbacks come.
    std::chrono::steady_clock::duration silenceOfCallbacks(
        std::chrono::steady_clock::time_point now) const;
    std::optional<AudioState> reported() const { return reported_; }

  private:
    std::optional<std::chrono::steady_clock::time_point> lastCallback_;
    std::optional<AudioState> candidate_;
    std::chrono::steady_clock::time_point candidateSince_{};
    std::optional<AudioState> reported_;
};

}  // namespace qor
