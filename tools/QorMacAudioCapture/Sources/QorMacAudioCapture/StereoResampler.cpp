// Compiled with -ffp-contract=off: each interpolation step is a separately rounded subtraction,
// multiplication and addition in single precision, on every compiler and processor.
#include "StereoResampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qor {

namespace {
double clampedInputRate(double rate) {
    return std::isnan(rate) || rate < 1.0 ? 1.0 : rate;
}
}  // namespace

StereoResampler::StereoResampler(double inputRate, double outputRate)
    : inputRate_(clampedInputRate(inputRate)),
      outputRate_(outputRate),
      bypass_(std::fabs(inputRate_ - 48000.0) < 0.5) {}

std::size_t StereoResampler::maxOutputSamples(std::size_t inputSamples) const {
    if (bypass_) {
        return inputSamples;
    }
    // One output frame per step over the working buffer (the block plus the carried frame), plus
    // one for a position a rounding error below zero and one for the truncation.
    const double frames = static_cast<double>(inputSamples / 2 + 1);
    return 2 * (static_cast<std::size_t>(frames * outputRate_ / inputRate_) + 2);
}

std::vector<float> StereoResampler::process(std::span<const float> block) {
    std::vector<float> output(maxOutputSamples(block.size()));
    output.resize(process(block, output));
    return output;
}

std::size_t StereoResampler::process(std::span<const float> block, std::span<float> output) {
    if (block.size() < 2) {
        return 0;
    }
    if (bypass_) {
        std::copy(block.begin(), block.end(), output.begin());
        return block.size();
    }

    // Grown on every block, carried frame or not, so that the largest block seen sizes it.
    if (working_.size() < block.size() + 2) {
        working_.resize(block.size() + 2);
    }
    std::span<const float> working = block;
    if (previousFrame_) {
        working_[0] = previousFrame_->first;
        working_[1] = previousFrame_->second;
        std::copy(block.begin(), block.end(), working_.begin() + 2);
        working = std::span<const float>(working_).first(block.size() + 2);
    } else if (working.size() < 4) {
        return 0;
    }

    const std::size_t frames = working.size() / 2;
    const std::size_t last = frames - 1;
    const double step = inputRate_ / outputRate_;

    std::size_t written = 0;
    double p = position_;
    while (p + 1.0 < static_cast<double>(frames)) {
        // Truncation, not flooring: a position a rounding error below zero must still read frame 0.
        const auto i = static_cast<std::int64_t>(p);
        const auto j = std::min<std::int64_t>(i + 1, static_cast<std::int64_t>(last));
        const float t = static_cast<float>(p - static_cast<double>(i));
        const float li = working[2 * i], ri = working[2 * i + 1];
        const float lj = working[2 * j], rj = working[2 * j + 1];
        const float dl = lj - li;
        const float ml = dl * t;
        output[written++] = li + ml;
        const float dr = rj - ri;
        const float mr = dr * t;
        output[written++] = ri + mr;
        p = p + step;
    }
    position_ = p - static_cast<double>(last);
    previousFrame_ = std::make_pair(working[2 * last], working[2 * last + 1]);
    return written;
}

}  // namespace qor
