// The I/O queue's thread sleeping in a backend's wait instead of the io_context's.
#include <gtest/gtest.h>

#include <boost/asio/steady_timer.hpp>
#include <condition_variable>
#include <future>

#include "IOQueue.h"

namespace qor {
namespace {

using namespace std::chrono_literals;

// Sleeps until woken, or for the queue's bound when `honoursBound`; counts its waits.
class TestWaiter final : public IOQueue::Waiter {
  public:
    explicit TestWaiter(bool honoursBound) : honoursBound_(honoursBound) {}

    bool wait(std::chrono::milliseconds bound) override {
        std::unique_lock guard(lock_);
        ++waits_;
        changed_.notify_all();
        const auto limit = honoursBound_ ? std::chrono::milliseconds(bound) : 60s;
        changed_.wait_for(guard, limit, [this] { return woken_; });
        return std::exchange(woken_, false);
    }
    void wake() override {
        std::lock_guard guard(lock_);
        woken_ = true;
        changed_.notify_all();
    }
    // True once the thread has gone to sleep in this waiter `count` times.
    bool waitedAtLeast(int count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, 10s, [&] { return waits_ >= count; });
    }
    int waits() {
        std::lock_guard guard(lock_);
        return waits_;
    }

  private:
    const bool honoursBound_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool woken_ = false;
    int waits_ = 0;
};

// Runs `handler` by `post` and tells whether it ran on the queue within a few seconds.
template <class Post>
bool ranOnQueue(IOQueue& queue, Post post) {
    auto done = std::make_shared<std::promise<bool>>();
    auto ran = done->get_future();
    post([&queue, done] { done->set_value(queue.isCurrentThread()); });
    return ran.wait_for(5s) == std::future_status::ready && ran.get();
}

TEST(IOQueueWaiter, PostsWakeTheWaiterAndTheIoContextTakesOverWhenItIsCleared) {
    IOQueue queue("test.waiter");
    auto waiter = std::make_shared<TestWaiter>(false);
    queue.post([&queue, waiter] { queue.setWaiter(waiter); });
    ASSERT_TRUE(waiter->waitedAtLeast(1));

    // The waiter never times out: only the wake-up brings these handlers to the thread (one poll
    // may take up several).
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ranOnQueue(queue, [&queue](auto handler) { queue.post(handler); }));
    }

    queue.post([&queue] { queue.setWaiter(nullptr); });
    // Back in the io_context's own wait, a plain post to the executor is enough.
    EXPECT_TRUE(ranOnQueue(
        queue, [&queue](auto handler) { boost::asio::post(queue.executor(), handler); }));
    const int waitsWithoutWaiter = waiter->waits();
    EXPECT_TRUE(ranOnQueue(queue, [&queue](auto handler) { queue.post(handler); }));
    EXPECT_EQ(waiter->waits(), waitsWithoutWaiter);

    // Stopping a queue asleep in a waiter ends its thread.
    queue.post([&queue, waiter] { queue.setWaiter(waiter); });
    ASSERT_TRUE(waiter->waitedAtLeast(waitsWithoutWaiter + 1));
    queue.stop();
}

TEST(IOQueueWaiter, TimersFireWhileTheThreadSleepsInTheWaiter) {
    IOQueue queue("test.timers");
    auto waiter = std::make_shared<TestWaiter>(true);
    queue.post([&queue, waiter] { queue.setWaiter(waiter); });
    ASSERT_TRUE(waiter->waitedAtLeast(1));

    boost::asio::steady_timer timer(queue.executor());
    auto fired = std::make_shared<std::promise<bool>>();
    auto result = fired->get_future();
    boost::asio::post(queue.executor(), [&] {
        timer.expires_after(20ms);
        timer.async_wait([&queue, fired](const boost::system::error_code& error) {
            fired->set_value(!error && queue.isCurrentThread());
        });
    });
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    queue.stop();
}

}  // namespace
}  // namespace qor
