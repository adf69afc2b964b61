// Linear-interpolation resampler from the tap's rate to 48000 frames per second, block by block.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qor {

// Not thread-safe: only the capture's I/O queue calls process(), one block at a time. The read
// position and the last whole input frame carry over so consecutive blocks join without a gap.
class StereoResampler {
  public:
    StereoResampler(double inputRate, double outputRate);

    // Returns the output frames this block completes (interleaved stereo). A rate within half a
    // hertz of 48000 passes blocks through unchanged.
    std::vector<float> process(std::span<const float> block);
    // The same into the caller's buffer, which must hold maxOutputSamples(block.size()) samples;
    // returns the number of samples written. Allocates nothing (the audio path calls this one),
    // except that the carried-frame buffer grows to the largest block seen.
    std::size_t process(std::span<const float> block, std::span<float> output);
    // An upper bound of what process() writes for a block of `inputSamples`.
    std::size_t maxOutputSamples(std::size_t inputSamples) const;
    // True when blocks pass through unchanged, so a caller may skip the call and the copy.
    bool bypasses() const { return bypass_; }

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }
    double position() const { return position_; }
    const std::optional<std::pair<float, float>>& previousFrame() const { return previousFrame_; }

  private:
    const double inputRate_;
    const double outputRate_;
    const bool bypass_;
    double position_ = 0.0;
    std::optional<std::pair<float, float>> previousFrame_;
    std::vector<float> working_;  // reused working buffer when a frame is carried
};

}  // namespace qor
