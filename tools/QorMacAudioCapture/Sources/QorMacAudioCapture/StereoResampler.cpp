// Compiled with -ffp-contract=off: each interpolation step is a separately rounded subtraction,
// multiplication and addition in single precision, on every compiler and processor.
#include "StereoResampler.h"

#include <cmath>
#include <cstdint>

namespace qor {

namespace {
double clampedInputRate(double rate) {
    return std::isnan(rate) || rate < 1.0 ? 1.0 : rate;
}
}  // namespace

StereoResampler::StereoResampler(double inputRate, double outputRate)
    : inputRate_(clampedInputRate(inputRate)), outputRate_(outputRate) {}

std::vector<float> StereoResampler::process(std::span<const float> block) {
    if (block.size() < 2) {
        return {};
    }
    if (std::fabs(inputRate_ - 48000.0) < 0.5) {
        return std::vector<float>(block.begin(), block.end());
    }

    std::span<const float> working = block;
    if (previousFrame_) {
        working_.resize(block.size() + 2);
        working_[0] = previousFrame_->first;
        working_[1] = previousFrame_->second;
        std::copy(block.begin(), block.end(), working_.begin() + 2);
        working = working_;
    } else if (working.size() < 4) {
        return {};
    }

    const std::size_t frames = working.size() / 2;
    const std::size_t last = frames - 1;
    const double step = inputRate_ / outputRate_;

    std::vector<float> output;
    output.reserve(2 * static_cast<std::size_t>(std::trunc(static_cast<double>(frames) / step)));

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
        output.push_back(li + ml);
        const float dr = rj - ri;
        const float mr = dr * t;
        output.push_back(ri + mr);
        p = p + step;
    }
    position_ = p - static_cast<double>(last);
    previousFrame_ = std::make_pair(working[2 * last], working[2 * last + 1]);
    return output;
}

}  // namespace qor
