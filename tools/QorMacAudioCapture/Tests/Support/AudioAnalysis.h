// Measurements on captured audio for tests: level and frequency content.
#pragma once

#include <cmath>
#include <cstring>
#include <numbers>
#include <span>
#include <string>
#include <vector>

namespace qor::testing {

inline std::vector<float> floatsFromBytes(const std::string& bytes) {
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

// One channel of an interleaved stereo stream.
inline std::vector<float> channel(std::span<const float> stereo, std::size_t which) {
    std::vector<float> mono;
    mono.reserve(stereo.size() / 2);
    for (std::size_t i = which; i + 1 < stereo.size() + 1 && i < stereo.size(); i += 2) {
        mono.push_back(stereo[i]);
    }
    return mono;
}

// Amplitude of the sinusoid at `frequency` (Goertzel over the whole signal, Hann-windowed).
inline double amplitudeAt(std::span<const float> mono, double rate, double frequency) {
    const std::size_t n = mono.size();
    if (n < 2) {
        return 0.0;
    }
    const double omega = 2.0 * std::numbers::pi * frequency / rate;
    const double coefficient = 2.0 * std::cos(omega);
    double s1 = 0.0, s2 = 0.0, windowSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (n - 1));
        windowSum += window;
        const double s0 = mono[i] * window + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

// The frequency with the largest amplitude, searched in 1 Hz steps between the bounds.
inline double dominantFrequency(std::span<const float> mono, double rate, double low, double high) {
    double best = low, bestAmplitude = -1.0;
    for (double f = low; f <= high; f += 1.0) {
        const double a = amplitudeAt(mono, rate, f);
        if (a > bestAmplitude) {
            bestAmplitude = a;
            best = f;
        }
    }
    return best;
}

inline double rms(std::span<const float> samples) {
    double sum = 0.0;
    for (float s : samples) {
        sum += double(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / samples.size());
}

inline double decibels(double ratio) {
    return 20.0 * std::log10(ratio);
}

}  // namespace qor::testing
