#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "StereoResampler.h"

namespace qor {
namespace {

using Block = std::vector<float>;

TEST(StereoResampler, HalfRateWorkedExample) {
    StereoResampler resampler(24000, 48000);
    EXPECT_EQ(resampler.process(Block{0, 10, 1, 11, 2, 12, 3, 13}),
              (Block{0, 10, 0.5, 10.5, 1, 11, 1.5, 11.5, 2, 12, 2.5, 12.5}));
    EXPECT_EQ(resampler.position(), 0.0);
    EXPECT_EQ(resampler.previousFrame(), std::make_pair(3.0f, 13.0f));
    EXPECT_EQ(resampler.process(Block{4, 14, 5, 15}), (Block{3, 13, 3.5, 13.5, 4, 14, 4.5, 14.5}));
    EXPECT_EQ(resampler.position(), 0.0);
    EXPECT_EQ(resampler.previousFrame(), std::make_pair(5.0f, 15.0f));
}

TEST(StereoResampler, DoubleRateWorkedExample) {
    StereoResampler resampler(96000, 48000);
    EXPECT_EQ(resampler.process(Block{0, 10, 1, 11, 2, 12, 3, 13}), (Block{0, 10, 2, 12}));
    EXPECT_EQ(resampler.position(), 1.0);
    EXPECT_EQ(resampler.previousFrame(), std::make_pair(3.0f, 13.0f));
    EXPECT_EQ(resampler.process(Block{4, 14, 5, 15, 6, 16, 7, 17}), (Block{4, 14, 6, 16}));
    EXPECT_EQ(resampler.position(), 1.0);
    EXPECT_EQ(resampler.previousFrame(), std::make_pair(7.0f, 17.0f));
}

TEST(StereoResampler, TrailingOddSampleIsDropped) {
    StereoResampler resampler(24000, 48000);
    EXPECT_EQ(resampler.process(Block{1, 2, 3, 4, 5}), (Block{1, 2, 2, 3}));
    EXPECT_EQ(resampler.previousFrame(), std::make_pair(3.0f, 4.0f));
}

TEST(StereoResampler, TinyBlocksGiveNothingAndLeaveStateAlone) {
    for (double rate : {48000.0, 24000.0}) {
        StereoResampler resampler(rate, 48000);
        EXPECT_TRUE(resampler.process(Block{}).empty());
        EXPECT_TRUE(resampler.process(Block{0.5f}).empty());
        EXPECT_EQ(resampler.position(), 0.0);
        EXPECT_FALSE(resampler.previousFrame().has_value());
    }
    // One lone frame is not remembered: the next block starts at its own first frame.
    StereoResampler resampler(24000, 48000);
    EXPECT_TRUE(resampler.process(Block{9, 9}).empty());
    EXPECT_TRUE(resampler.process(Block{9, 9, 9}).empty());
    EXPECT_FALSE(resampler.previousFrame().has_value());
    EXPECT_EQ(resampler.process(Block{0, 0, 1, 1}), (Block{0, 0, 0.5, 0.5}));
}

TEST(StereoResampler, BypassWithinHalfAHertz) {
    const Block odd{0.1f, 0.2f, 0.3f};
    for (double rate : {48000.0, 48000.4, 47999.6}) {
        StereoResampler resampler(rate, 48000);
        EXPECT_EQ(resampler.process(odd), odd) << rate;
        EXPECT_FALSE(resampler.previousFrame().has_value());
    }
    StereoResampler notBypassed(48000.5, 48000);
    const Block out = notBypassed.process(Block{0, 0, 1, 1, 2, 2, 3, 3});
    EXPECT_EQ(out.size(), 6u);
    EXPECT_TRUE(notBypassed.previousFrame().has_value());
    EXPECT_NEAR(notBypassed.position(), 3 * (48000.5 / 48000) - 3, 1e-12);
}

TEST(StereoResampler, UnusableRatesBecomeOne) {
    for (double rate : {0.0, -44100.0, std::numeric_limits<double>::quiet_NaN()}) {
        StereoResampler resampler(rate, 48000);
        EXPECT_EQ(resampler.inputRate(), 1.0);
        // Each input frame spans 48000 output frames.
        EXPECT_EQ(resampler.process(Block{0, 0, 1, 1}).size(), 2u * 48000u);
    }
}

TEST(StereoResampler, InterpolationIsRoundedStepByStep) {
    // Each output is a + (b - a) * t with the subtraction, the product and the sum each rounded to
    // single precision. The inputs were drawn at random until five of the eight outputs (the last
    // five) differ from a fused multiply-add's; the expected values were computed once with this
    // code and checked against an exact rational evaluation of the three rounded steps.
    StereoResampler resampler(44100, 48000);
    const Block in{-0.925f, -0.1327f, -0.8603f, -0.8186f, -0.151f, 0.6537f, -0.7524f, -0.5535f};
    EXPECT_EQ(resampler.process(in),
              (Block{-0x1.d9999ap-1f, -0x1.0fc504p-3f, -0x1.bb2a46p-1f, -0x1.8696f8p-1f,
                     -0x1.10a6c8p-2f, 0x1.a865ecp-2f, -0x1.362c9p-1f, -0x1.09778cp-2f}));
}

// A 10-second 1 kHz sine at 44100 Hz in blocks of varying size comes out as a clean 1 kHz sine
// at 48000 Hz: the output frame m stands for the time m / 48000 exactly.
TEST(StereoResampler, SineThroughVaryingBlocksKeepsItsShape) {
    constexpr double inputRate = 44100, frequency = 1000;
    StereoResampler resampler(inputRate, 48000);
    const std::size_t sizes[] = {7, 1, 441, 512, 33, 1024, 2, 480, 4096, 3};
    Block output;
    std::size_t frame = 0, which = 0;
    const std::size_t total = 10 * 44100;
    while (frame < total) {
        const std::size_t count = std::min(sizes[which++ % std::size(sizes)], total - frame);
        Block block(2 * count);
        for (std::size_t k = 0; k < count; ++k) {
            const double x = std::sin(2 * std::numbers::pi * frequency * (frame + k) / inputRate);
            block[2 * k] = static_cast<float>(x);
            block[2 * k + 1] = static_cast<float>(-x);
        }
        frame += count;
        const Block out = resampler.process(block);
        output.insert(output.end(), out.begin(), out.end());
    }
    const std::size_t frames = output.size() / 2;
    EXPECT_NEAR(static_cast<double>(frames), total * 48000.0 / inputRate, 2.0);

    double signal = 0, noise = 0;
    for (std::size_t m = 0; m < frames; ++m) {
        const double ideal = std::sin(2 * std::numbers::pi * frequency * m / 48000.0);
        signal += 2 * ideal * ideal;
        noise += std::pow(output[2 * m] - ideal, 2) + std::pow(output[2 * m + 1] + ideal, 2);
    }
    const double snr = 10 * std::log10(signal / noise);
    RecordProperty("snr_db", std::to_string(snr));
    EXPECT_GT(snr, 50.0) << "measured " << snr << " dB";
}

}  // namespace
}  // namespace qor
