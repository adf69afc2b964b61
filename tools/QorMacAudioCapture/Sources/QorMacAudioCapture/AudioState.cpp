#include "AudioState.h"

namespace qor {

const char* audioStateText(AudioStateKind kind) {
    switch (kind) {
        case AudioStateKind::flowing:
            return "flowing";
        case AudioStateKind::silent:
            return "silent";
        case AudioStateKind::stalled:
            return "stalled";
    }
    return "unknown";
}

const char* audioStateReasonText(AudioStateReason reason) {
    switch (reason) {
        case AudioStateReason::audioArrives:
            return "audio_arrives";
        case AudioStateReason::sourcesNotPlaying:
            return "sources_not_playing";
        case AudioStateReason::permissionDenied:
            return "permission_denied";
        case AudioStateReason::zerosWhilePlaying:
            return "zeros_while_playing";
        case AudioStateReason::sourcesGone:
            return "sources_gone";
        case AudioStateReason::unknown:
            return "unknown";
        case AudioStateReason::noCallbacks:
            return "no_callbacks";
        case AudioStateReason::deviceLost:
            return "device_lost";
        case AudioStateReason::serviceRestarted:
            return "service_restarted";
    }
    return "unknown";
}

const char* compositionText(DeviceComposition composition) {
    return composition == DeviceComposition::tapOnly ? "tap_only" : "tap_main_and_clock";
}

JSON audioStateLine(const AudioState& state, DeviceComposition composition,
                    std::optional<int> rebuild) {
    JSON line{
        {"composition", compositionText(composition)},
        {"event", "audio_state"},
        {"reason", audioStateReasonText(state.reason)},
        {"state", audioStateText(state.kind)},
    };
    if (rebuild) {
        line["rebuild"] = *rebuild;
    }
    return line;
}

std::optional<AudioState> AudioStateMonitor::observe(const AudioObservation& seen) {
    if (seen.callbacks || !lastCallback_) {
        lastCallback_ = seen.now;
    }
    std::optional<AudioState> now;
    if (seen.sourcesGone) {
        now = AudioState{AudioStateKind::silent, AudioStateReason::sourcesGone};
    } else if (seen.started && seen.now - *lastCallback_ >= kStallAfter) {
        now = AudioState{AudioStateKind::stalled, AudioStateReason::noCallbacks};
    } else if (seen.callbacks && seen.audible) {
        now = AudioState{AudioStateKind::flowing, AudioStateReason::audioArrives};
    } else if (seen.callbacks) {
        AudioStateReason reason = AudioStateReason::unknown;
        if (seen.permissionDenied) {
            reason = AudioStateReason::permissionDenied;
        } else if (seen.sourcesRunningOutput) {
            reason = *seen.sourcesRunningOutput ? AudioStateReason::zerosWhilePlaying
                                                : AudioStateReason::sourcesNotPlaying;
        }
        now = AudioState{AudioStateKind::silent, reason};
    }
    if (!now) {
        return std::nullopt;  // nothing new since the last look
    }
    if (now != candidate_) {
        candidate_ = now;
        // A stall has held since its last callback.
        candidateSince_ = now->kind == AudioStateKind::stalled ? seen.now - kHold : seen.now;
    }
    if (candidate_ == reported_ || seen.now - candidateSince_ < kHold) {
        return std::nullopt;
    }
    reported_ = candidate_;
    return reported_;
}

void AudioStateMonitor::announced(const AudioState& state) {
    reported_ = state;
    candidate_.reset();
}

void AudioStateMonitor::restart(std::chrono::steady_clock::time_point now) {
    lastCallback_ = now;
}

std::chrono::steady_clock::duration AudioStateMonitor::silenceOfCallbacks(
    std::chrono::steady_clock::time_point now) const {
    return lastCallback_ ? now - *lastCallback_ : std::chrono::steady_clock::duration::zero();
}

}  // namespace qor
