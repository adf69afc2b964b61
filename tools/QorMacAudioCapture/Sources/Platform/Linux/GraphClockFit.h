// Keeps the audio a capture node hands on to the graph's clock. PipeWire tells each cycle's start
// on CLOCK_MONOTONIC (its nanoseconds), its driver and its rate. Within one driver at one rate,
// each cycle follows the one before. While the graph changes its rate, the node may pass through
// another driver (a clock of its own, counting from a small position) for a cycle or more, and the
// usual driver, back at the new rate, may start its first cycle early or late. So where the audio
// handed on ends is counted from the last fit by the frames handed on since, and a cycle is fitted
// to it when it comes after a change of driver or rate (and so is every cycle after it until one
// is handed on: a driver's first cycle may carry its clock from the last time it ran), or when its
// time has drifted from it by more than kLargestDriftNs: what lies before that end is left out, a
// gap after it is filled with silence at the cycle's rate. Plain arithmetic: the tap's loop owns
// it.
#pragma once

#include <cstdint>

namespace qor::pipewire {

class GraphClockFit {
  public:
    // What to do with one cycle: hand on `silence` frames of silence that end where the cycle
    // starts, then the cycle without its first `skip` frames (all of it skipped: nothing).
    struct Cycle {
        std::uint64_t silence = 0;
        std::uint32_t skip = 0;
    };

    // Within one driver at one rate, how far the audio handed on may drift from the driver's
    // clock before it is fitted again: well above a cycle's jitter, well below what a listener
    // notices as time lost or gained.
    static constexpr double kLargestDriftNs = 20e6;
    // A gap in the graph's clock longer than this is a clock that started anew, not time to fill.
    static constexpr double kLongestGapNs = 60e9;

    // A cycle of `frames` frames at `rateNum`/`rateDenom` seconds a frame (both non-zero) that
    // `driver` started at `nsec` (non-zero). Counts what it returns as handed on.
    Cycle fit(std::uint32_t driver, std::uint32_t rateNum, std::uint32_t rateDenom,
              std::uint64_t nsec, std::uint32_t frames);
    // Nothing handed on yet: the next cycle is taken as it is.
    void reset() { anchorNs_ = 0; }

  private:
    std::uint32_t driver_ = 0;
    std::uint32_t rateNum_ = 0;
    std::uint32_t rateDenom_ = 1;
    // Where the audio handed on ends: this time (0: nothing handed on) plus this many frames at
    // the last cycle's rate.
    std::uint64_t anchorNs_ = 0;
    std::uint64_t anchorFrames_ = 0;
    bool fitting_ = false;  // a change came, and no cycle since has been handed on
};

}  // namespace qor::pipewire
