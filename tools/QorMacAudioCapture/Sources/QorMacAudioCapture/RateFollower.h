// Learns the rate a device really delivers. A device may run at another rate than its tap's format
// says, and may change rate during a capture, announced or not: the output stays correctly timed
// only if the resampler follows the delivered rate. Two sources of truth, in this order:
// - an announced rate (the platform's notification, or the rate PipeWire gives each cycle): a
//   change of it is taken at once;
// - the cycles' clocks: over a trailing window of at least a second, device frames against host
//   nanoseconds. When the window is steady (its two halves agree) and departs from the rate in use
//   by more than 1 %, the measured rate is taken, rounded to a common rate within 1 % of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "AudioHardware.h"

namespace qor {

// Not thread-safe: the capture's I/O queue owns it. Allocates nothing.
class RateFollower {
  public:
    explicit RateFollower(double initialRate = 48000.0);

    // One cycle of `frames` device frames. True when the rate in use changed with it.
    bool observe(const IOCycleTime& time, std::size_t frames);
    double rate() const { return rate_; }

    // The common rate within 1 % of `measured`, else `measured` rounded to a whole hertz.
    static double snap(double measured);

  private:
    struct Mark {
        double sampleTime;
        std::uint64_t hostTimeNs;
    };
    static constexpr std::size_t kMarks = 64;

    bool measure(const IOCycleTime& time, std::size_t frames);
    void forget() { count_ = 0; }
    const Mark& mark(std::size_t ageIndex) const;  // 0: the newest

    double rate_;
    double announced_ = 0.0;  // the last announced rate seen; 0: none yet
    // A ring of clock readings at least kMarkSpacingNs apart, newest at head_ - 1.
    std::array<Mark, kMarks> marks_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace qor
