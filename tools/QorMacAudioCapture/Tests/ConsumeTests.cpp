#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "CoreAudioTapCapture.h"
#include "RecordingSink.h"
#include "SimulatedPlatform.h"

namespace qor {
namespace {

using Block = std::vector<float>;

class Consume : public ::testing::Test {
  protected:
    void make(std::string format = "float32le") {
        sink = std::make_shared<testing::RecordingSink>(format);
        auto view = platform.platform();
        capture = CoreAudioTapCapture::create(CLIOptions{}, sink, view);
    }
    void SetUp() override { make(); }

    // Buffers given as (channels, samples, byte size override or -1).
    void feed(std::vector<std::tuple<std::uint32_t, Block*, int>> buffers) {
        AudioBufferListStorage storage(static_cast<std::uint32_t>(buffers.size()));
        for (std::uint32_t i = 0; i < buffers.size(); ++i) {
            auto [channels, samples, size] = buffers[i];
            storage.buffer(i) = {
                channels,
                size >= 0 ? std::uint32_t(size) : std::uint32_t(samples ? samples->size() * 4 : 0),
                samples ? samples->data() : nullptr};
        }
        capture->consume(storage.list());
    }

    void expectNothing() {
        EXPECT_TRUE(sink->blocks().empty());
        EXPECT_EQ(capture->packetCount(), 0u);
        EXPECT_EQ(capture->frameCount(), 0u);
        EXPECT_EQ(capture->byteCount(), 0u);
        EXPECT_EQ(capture->lastPeak(), 0.0f);
    }

    simulated::SimulatedPlatform platform{simulated::Scenario{}};
    std::shared_ptr<testing::RecordingSink> sink;
    std::shared_ptr<CoreAudioTapCapture> capture;
};

TEST_F(Consume, UnusableListsChangeNothing) {
    AudioBufferListStorage empty(0);
    capture->consume(empty.list());
    Block data{0.5f, 0.5f};
    feed({{2, nullptr, 16}, {1, &data, -1}});
    Block short_{0.1f};
    feed({{2, &data, 7}});
    feed({{1, &short_, 3}});
    expectNothing();
}

TEST_F(Consume, InterleavedStereoIsTakenDirectly) {
    Block data{0.1f, 0.2f, 0.3f, 0.4f};
    feed({{2, &data, -1}});
    ASSERT_EQ(sink->blocks().size(), 1u);
    EXPECT_EQ(sink->blocks()[0], data);
    EXPECT_EQ(capture->frameCount(), 2u);
    EXPECT_EQ(capture->byteCount(), 16u);
    EXPECT_EQ(capture->packetCount(), 1u);
    EXPECT_EQ(capture->writeCount(), 1u);
    EXPECT_FLOAT_EQ(capture->lastPeak(), 0.4f);
}

TEST_F(Consume, TrailingPartialFrameIsIgnored) {
    Block data{0.1f, 0.2f, 0.3f, 0.4f, 0.9f};
    feed({{2, &data, 20}});
    EXPECT_EQ(sink->blocks().at(0), (Block{0.1f, 0.2f, 0.3f, 0.4f}));
}

TEST_F(Consume, MultichannelPicksTheFirstTwo) {
    Block data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    feed({{6, &data, 48}});
    EXPECT_EQ(sink->blocks().at(0), (Block{1, 2, 7, 8}));
}

TEST_F(Consume, MonoAndZeroChannelsAreCopiedToBothSides) {
    Block data{0.1f, 0.2f, 0.3f};
    feed({{1, &data, 12}});
    feed({{0, &data, 12}});
    const Block expected{0.1f, 0.1f, 0.2f, 0.2f, 0.3f, 0.3f};
    EXPECT_EQ(sink->blocks().at(0), expected);
    EXPECT_EQ(sink->blocks().at(1), expected);
}

TEST_F(Consume, PlanarStereoPairsTheFirstTwoMonoBuffers) {
    Block left{1, 2}, right{-1, -2}, third{9, 9};
    feed({{1, &left, -1}, {1, &right, -1}, {1, &third, -1}});
    EXPECT_EQ(sink->blocks().at(0), (Block{1, -1, 2, -2}));
    // A first buffer of two channels is interleaved; the second is ignored.
    Block pair{1, 2, 3, 4};
    feed({{2, &pair, -1}, {1, &right, -1}});
    EXPECT_EQ(sink->blocks().at(1), pair);
    // Only the first buffer mono: both sides from it.
    feed({{1, &left, -1}, {2, &pair, -1}});
    EXPECT_EQ(sink->blocks().at(2), (Block{1, 1, 2, 2}));
    // The second buffer without data: the first alone, as mono.
    feed({{1, &left, -1}, {1, nullptr, 8}});
    EXPECT_EQ(sink->blocks().at(3), (Block{1, 1, 2, 2}));
}

TEST_F(Consume, ShortSecondPlanarBufferIsNeverOverread) {
    Block left{1, 2, 3}, right{-1};
    feed({{1, &left, -1}, {1, &right, -1}});
    EXPECT_EQ(sink->blocks().at(0), (Block{1, -1, 2, 0, 3, 0}));
}

TEST_F(Consume, PeakIgnoresNaNAndCountsAfterResampling) {
    Block data{0.25f, -0.75f, std::numeric_limits<float>::quiet_NaN(), 0.5f};
    feed({{2, &data, -1}});
    EXPECT_EQ(capture->lastPeak(), 0.75f);
    Block zeros{0, 0, 0, 0};
    feed({{2, &zeros, -1}});
    EXPECT_EQ(capture->lastPeak(), 0.0f);
    // Longer than a vector, NaNs of both signs, the peak in the last odd sample.
    Block longer(74, -0.5f);
    longer[3] = std::numeric_limits<float>::quiet_NaN();
    longer[40] = -std::numeric_limits<float>::quiet_NaN();
    longer[73] = -0.875f;
    feed({{2, &longer, -1}});
    EXPECT_EQ(capture->lastPeak(), 0.875f);
    longer[10] = -std::numeric_limits<float>::infinity();
    feed({{2, &longer, -1}});
    EXPECT_EQ(capture->lastPeak(), std::numeric_limits<float>::infinity());
}

TEST_F(Consume, ResamplerEmptyBlockCountsNothing) {
    capture->setResamplerForTesting(44100);
    Block one{0.5f, 0.5f};
    feed({{2, &one, -1}});
    expectNothing();
    Block more(2 * 441, 0.25f);
    feed({{2, &more, -1}});
    EXPECT_EQ(capture->packetCount(), 1u);
    EXPECT_EQ(capture->frameCount(), sink->blocks().at(0).size() / 2);
    EXPECT_NEAR(double(capture->frameCount()), 441 * 48000.0 / 44100, 1.5);
}

TEST_F(Consume, BytesFollowTheSinkFormat) {
    Block block(960, 0.1f);
    feed({{2, &block, -1}});
    EXPECT_EQ(capture->frameCount(), 480u);
    EXPECT_EQ(capture->byteCount(), 3840u);
    make("pcm_s16le");
    feed({{2, &block, -1}});
    EXPECT_EQ(capture->byteCount(), 1920u);
}

}  // namespace
}  // namespace qor
