#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "AudioSinks.h"
#include "PipeReader.h"

namespace qor {
namespace {

using testing::standardOutputOf;

TEST(StandardOutputSink, WritesLittleEndianFloatsBitForBit) {
    const std::string bytes = standardOutputOf([&] {
        StandardOutputSink sink;
        sink.write(std::vector<float>{1.0f, -0.5f});
        sink.write(std::vector<float>{});
        sink.close();
        sink.close();
        // No closed state: still written, unclamped, NaN kept, and named as before.
        sink.write(std::vector<float>{2.5f, std::numeric_limits<float>::quiet_NaN()});
        EXPECT_EQ(sink.transportName(), "stdout");
        EXPECT_EQ(sink.formatName(), "float32le");
    });
    const std::string expected(
        "\x00\x00\x80\x3F\x00\x00\x00\xBF"
        "\x00\x00\x20\x40\x00\x00\xC0\x7F",
        16);
    EXPECT_EQ(bytes, expected);
}

TEST(StandardOutputSink, LargeBlocksArriveWhole) {
    // Bigger than the socket's buffer: what the output does not take at once waits and follows,
    // whether the sink has a pipe of its own or sends to a socket, and though the reader pauses
    // just as the sink stops.
    std::vector<float> block(1 << 17);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i);
    }
    for (const bool socket : {false, true}) {
        const std::string bytes = standardOutputOf(
            [&] {
                StandardOutputSink sink;
                sink.write(block);
            },
            socket, std::chrono::milliseconds(100));
        ASSERT_EQ(bytes.size(), block.size() * 4) << (socket ? "socket" : "pipe");
        EXPECT_EQ(std::memcmp(bytes.data(), block.data(), bytes.size()), 0);
    }
}

}  // namespace
}  // namespace qor
