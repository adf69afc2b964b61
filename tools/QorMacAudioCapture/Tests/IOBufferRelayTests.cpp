// The hand-over from the device's thread to the I/O queue: portable code, run here as on macOS.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "IOBufferRelay.h"

namespace qor {
namespace {

// Waits until everything posted to the queue so far has run.
void settle(IOQueue& queue) {
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    done.get_future().wait();
}

// 512-frame cycles: the relay holds half a second of them while the I/O queue is held up, hands
// them on in order with their times, and drops (and counts) what comes beyond that.
TEST(IOBufferRelay, HoldsHalfASecondOfCyclesWhileTheQueueIsHeldUp) {
    IOQueue queue("com.example.relay");
    std::vector<std::pair<float, double>> seen;  // first sample and sample time; the I/O queue's
    auto relay = IOBufferRelay::create(
        queue,
        [&](const AudioBufferList& list, const IOCycleTime& time) {
            seen.emplace_back(static_cast<const float*>(list.mBuffers[0].mData)[0],
                              time.sampleTime);
        },
        IOBufferRelay::slotsFor(48000, 512));
    ASSERT_EQ(relay->slotCount(), 47u);

    std::vector<float> samples(2 * 512);
    AudioBufferListStorage storage(1);
    storage.buffer(0) = {2, std::uint32_t(samples.size() * 4), samples.data()};
    auto cycles = [&](int from, int to) {
        std::promise<void> release;
        queue.post([held = release.get_future().share()] { held.wait(); });
        for (int k = from; k < to; ++k) {
            samples[0] = float(k);
            IOCycleTime time;
            time.sampleTime = k * 512.0;
            time.sampleTimeValid = true;
            relay->deliver(storage.list(), time);
        }
        release.set_value();
        settle(queue);
    };

    cycles(0, 37);  // 0.4 s
    ASSERT_EQ(seen.size(), 37u);
    for (int k = 0; k < 37; ++k) {
        EXPECT_EQ(seen[k], std::make_pair(float(k), k * 512.0));
    }
    EXPECT_EQ(relay->droppedCycles(), 0u);

    cycles(37, 137);  // over two seconds: the first 47 wait, the rest are dropped
    ASSERT_EQ(seen.size(), 37u + 47u);
    EXPECT_EQ(seen.back(), std::make_pair(83.0f, 83 * 512.0));
    EXPECT_EQ(relay->droppedCycles(), 53u);
    cycles(137, 138);
    EXPECT_EQ(seen.back().second, 137 * 512.0) << "the gap shows in the next cycle's time";
}

}  // namespace
}  // namespace qor
