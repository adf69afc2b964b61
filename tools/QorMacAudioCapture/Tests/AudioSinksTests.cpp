#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "AudioSinks.h"

namespace qor {
namespace {

// Captures what the sink writes to file descriptor 1 during `body`.
template <typename Body>
std::string standardOutputOf(Body body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    ::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    body();
    ::dup2(saved, 1);
    ::close(saved);
    std::string bytes;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fds[0]);
    return bytes;
}

TEST(StandardOutputSink, NamesAreFixed) {
    StandardOutputSink sink;
    EXPECT_EQ(sink.transportName(), "stdout");
    EXPECT_EQ(sink.formatName(), "float32le");
    sink.close();
    EXPECT_EQ(sink.formatName(), "float32le");
}

TEST(StandardOutputSink, WritesLittleEndianFloatsBitForBit) {
    const std::string bytes = standardOutputOf([&] {
        StandardOutputSink sink;
        sink.write(std::vector<float>{1.0f, -0.5f});
        sink.write(std::vector<float>{});
        sink.close();
        sink.close();
        // No closed state: still written, unclamped, NaN kept.
        sink.write(std::vector<float>{2.5f, std::numeric_limits<float>::quiet_NaN()});
    });
    const std::string expected(
        "\x00\x00\x80\x3F\x00\x00\x00\xBF"
        "\x00\x00\x20\x40\x00\x00\xC0\x7F",
        16);
    EXPECT_EQ(bytes, expected);
}

TEST(StandardOutputSink, LargeBlocksArriveWhole) {
    // Bigger than a pipe's buffer: the write must loop over partial writes, whether the sink has a
    // pipe of its own or waits in poll (a socket).
    std::vector<float> block(1 << 17);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i);
    }
    for (const bool socket : {false, true}) {
        int fds[2];
        ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds), 0);
        const int saved = ::dup(1);
        ::dup2(fds[1], 1);
        ::close(fds[1]);
        std::string bytes;
        std::thread reader([&] {
            char buffer[4096];
            ssize_t count;
            while ((count = ::read(fds[0], buffer, sizeof buffer)) > 0) {
                bytes.append(buffer, static_cast<std::size_t>(count));
            }
        });
        {
            StandardOutputSink sink;
            sink.write(block);
        }
        ::dup2(saved, 1);
        ::close(saved);
        reader.join();
        ::close(fds[0]);
        ASSERT_EQ(bytes.size(), block.size() * 4) << (socket ? "socket" : "pipe");
        EXPECT_EQ(std::memcmp(bytes.data(), block.data(), bytes.size()), 0);
    }
}

}  // namespace
}  // namespace qor
