#include "GraphClockFit.h"

#include <algorithm>
#include <cmath>

namespace qor::pipewire {

GraphClockFit::Cycle GraphClockFit::fit(std::uint32_t driver, std::uint32_t rateNum,
                                        std::uint32_t rateDenom, std::uint64_t nsec,
                                        std::uint32_t frames) {
    const bool changed = driver != driver_ || rateNum != rateNum_ || rateDenom != rateDenom_;
    if (anchorNs_ == 0) {
        anchorNs_ = nsec;
        anchorFrames_ = 0;
    } else if (changed) {
        // The frames handed on so far were at the last cycle's rate.
        anchorNs_ += static_cast<std::uint64_t>(static_cast<double>(anchorFrames_) * 1e9 *
                                                rateNum_ / rateDenom_);
        anchorFrames_ = 0;
    }
    driver_ = driver;
    rateNum_ = rateNum;
    rateDenom_ = rateDenom;
    const double nsPerFrame = 1e9 * rateNum / rateDenom;
    const double drift = static_cast<double>(nsec) - static_cast<double>(anchorNs_) -
                         static_cast<double>(anchorFrames_) * nsPerFrame;
    // After a change, every cycle is fitted until one is handed on, at least in part.
    fitting_ = fitting_ || changed;
    Cycle cycle;
    if (std::abs(drift) > kLongestGapNs) {
        anchorNs_ = nsec;
        anchorFrames_ = 0;
    } else if (fitting_ || std::abs(drift) > kLargestDriftNs) {
        if (drift < 0) {
            cycle.skip = static_cast<std::uint32_t>(
                std::min<double>(frames, std::llround(-drift / nsPerFrame)));
        } else {
            cycle.silence = static_cast<std::uint64_t>(std::llround(drift / nsPerFrame));
        }
    }
    anchorFrames_ += cycle.silence + (frames - cycle.skip);
    fitting_ = fitting_ && cycle.skip >= frames;
    return cycle;
}

}  // namespace qor::pipewire
