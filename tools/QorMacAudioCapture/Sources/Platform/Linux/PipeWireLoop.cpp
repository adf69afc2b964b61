#include "PipeWireLoop.h"

#include <pipewire/impl-module.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qor::pipewire {

namespace {

// The most events one round of a PipeWire loop takes up.
constexpr int kLoopBatch = 32;
// The real-time priority of PipeWire's client data threads (its real-time module's default).
constexpr int kRealtimePriority = 88;

}  // namespace

// The I/O queue's wait while the loop is attached: one round of the data loop, which also watches
// loop_'s epoll fd and an eventfd that the queue's posts signal. Queue thread only once installed,
// but for wake().
class OwnedLoop::Waiter final : public IOQueue::Waiter {
  public:
    // On the main thread, while it owns both loops and loop_ no longer watches the data loop (an
    // epoll set may not watch one that watches it). nullptr when the system refuses a part.
    static std::shared_ptr<Waiter> create(OwnedLoop& loop, std::shared_ptr<void> owner) {
        auto waiter = std::make_shared<Waiter>(loop, std::move(owner));
        if (waiter->wakeFd_ < 0) {
            return nullptr;
        }
        waiter->wakeSource_ = pw_loop_add_io(loop.dataLoop_, waiter->wakeFd_, SPA_IO_IN, false,
                                             &Waiter::onWake, waiter.get());
        waiter->mainSource_ = pw_loop_add_io(loop.dataLoop_, pw_loop_get_fd(loop.loop_), SPA_IO_IN,
                                             false, &Waiter::onMainLoop, waiter.get());
        if (waiter->wakeSource_ == nullptr || waiter->mainSource_ == nullptr) {
            waiter->release();
            return nullptr;
        }
        return waiter;
    }

    Waiter(OwnedLoop& loop, std::shared_ptr<void> owner)
        : loop_(loop),
          owner_(std::move(owner)),
          wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    // Only the eventfd: a waiter that was never released belongs to a queue that never gave the
    // loop back, and its sources stay with the loops the connection leaves as they are.
    ~Waiter() override {
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    bool wait(std::chrono::milliseconds bound) override {
        woken_ = false;
        if (owner_ != nullptr) {
            iterateLoop(loop_.dataLoop_, static_cast<int>(bound.count()));
        }
        return woken_;
    }

    // The eventfd stays open as long as the waiter, so a wake-up that comes late is harmless.
    void wake() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }

    // Takes the sources out of the data loop and lets the owner go; on the loops' owner.
    void release() {
        if (owner_ == nullptr) {
            return;
        }
        for (spa_source** source : {&wakeSource_, &mainSource_}) {
            if (*source != nullptr) {
                pw_loop_destroy_source(loop_.dataLoop_, *source);
                *source = nullptr;
            }
        }
        owner_.reset();
    }

  private:
    static void onWake(void* data, int fd, std::uint32_t) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
        static_cast<Waiter*>(data)->woken_ = true;
    }

    // One round of loop_: its fd is level-triggered here, so what is left over wakes the next wait.
    // A lost server may leave it ready for good; it is not watched from then on.
    static void onMainLoop(void* data, int, std::uint32_t) {
        auto* self = static_cast<Waiter*>(data);
        OwnedLoop& loop = self->loop_;
        iterateLoop(loop.loop_, 0);
        if (loop.lost_.load(std::memory_order_acquire) && self->mainSource_ != nullptr) {
            pw_loop_update_io(loop.dataLoop_, self->mainSource_, 0);
        }
    }

    OwnedLoop& loop_;
    // While set it keeps the loop's owner alive, so a queue that never gives the loop back can
    // never see it destroyed.
    std::shared_ptr<void> owner_;
    const int wakeFd_;
    spa_source* wakeSource_ = nullptr;
    spa_source* mainSource_ = nullptr;
    bool woken_ = false;
};

OwnedLoop::~OwnedLoop() {
    if (queue_ != nullptr || loop_ == nullptr) {
        return;  // a stuck queue may still run the loop: leave it as it is
    }
    releaseDataLoop();
    pw_loop_leave(loop_);
    pw_loop_destroy(loop_);
}

bool OwnedLoop::open() {
    loop_ = pw_loop_new(nullptr);
    if (loop_ == nullptr) {
        return false;
    }
    pw_loop_enter(loop_);
    return true;
}

namespace {

// Runs on the data loop: `async` is true when the data thread ran it from its loop.
int noteDataThread(spa_loop*, bool async, std::uint32_t, const void*, std::size_t, void* ranThere) {
    *static_cast<bool*>(ranThere) = async;
    return 0;
}

// The context starts its data thread at once. PipeWire stops it with a call into its loop, and a
// call into a loop that no thread has entered yet runs on the calling thread instead: if the data
// thread enters in that instant, it sleeps in its loop without ever seeing the stop, and the stop
// waits for it for ever. So the stop waits until the data thread runs its loop (a call sent to it
// then is queued and wakes it), which takes a few microseconds after the context is made.
void waitForDataThread(pw_data_loop* dataLoop) {
    if (pw_data_loop_get_thread(dataLoop) == nullptr) {
        return;  // not started
    }
    for (int attempt = 0; attempt < 2000; ++attempt) {
        bool ranThere = false;
        pw_loop_invoke(pw_data_loop_get_loop(dataLoop), noteDataThread, 0, nullptr, 0, true,
                       &ranThere);
        if (ranThere) {
            return;
        }
        usleep(1000);
    }
}

}  // namespace

bool OwnedLoop::adoptDataLoop(pw_context* context) {
    context_ = context;
    pw_data_loop* dataLoop = pw_context_get_data_loop(context);
    waitForDataThread(dataLoop);
    pw_data_loop_stop(dataLoop);
    dataLoop_ = pw_data_loop_get_loop(dataLoop);
    return watchDataLoop();
}

void OwnedLoop::releaseDataLoop() {
    if (dataSource_ != nullptr) {
        pw_loop_destroy_source(loop_, dataSource_);
        dataSource_ = nullptr;
    }
}

OSStatus OwnedLoop::attach(IOQueue& queue, std::shared_ptr<void> owner) {
    if (queue_ == &queue) {
        return kAudioHardwareNoError;
    }
    if (queue_ != nullptr) {
        return kStatusQueueBusy;
    }
    releaseDataLoop();
    auto waiter = Waiter::create(*this, std::move(owner));
    if (waiter == nullptr) {
        watchDataLoop();
        return kStatusSystemError;
    }
    queue_ = &queue;
    waiter_ = waiter;
    pw_loop_leave(loop_);
    // The waiter keeps the owner, and so this loop, alive until this has run.
    queue.post([this, waiter, &queue] {
        pw_loop_enter(loop_);
        setRealtime(true);
        queue.setWaiter(waiter);
    });
    return kAudioHardwareNoError;
}

OSStatus OwnedLoop::detach() {
    if (queue_ == nullptr) {
        return kAudioHardwareNoError;
    }
    IOQueue& queue = *queue_;
    const OSStatus status = perform([this, &queue] {
        queue.setWaiter(nullptr);
        waiter_->release();
        setRealtime(false);
        pw_loop_leave(loop_);
        return kAudioHardwareNoError;
    });
    if (status != kAudioHardwareNoError) {
        return status;  // the queue may still hold the loop: it stays attached for good
    }
    queue_ = nullptr;
    waiter_.reset();
    pw_loop_enter(loop_);
    return watchDataLoop() ? kAudioHardwareNoError : kStatusSystemError;
}

bool OwnedLoop::watchDataLoop() {
    dataSource_ = pw_loop_add_io(loop_, pw_loop_get_fd(dataLoop_), SPA_IO_IN, false,
                                 &OwnedLoop::onDataLoopReady, this);
    return dataSource_ != nullptr;
}

// On the thread that takes the loop, or gives it back: the graph's cycles run here (see the data
// loop in the header), so this thread gets what PipeWire gives its own data threads, and loses it
// with the loop. Like PipeWire's real-time module, it asks the kernel first, within RLIMIT_RTPRIO;
// only where that is refused is the module loaded, to ask RTKit or the desktop portal over D-Bus
// (its libraries cost most of a megabyte resident, so a capture that does not need them never maps
// them). Where everything refuses, the thread keeps its normal priority.
void OwnedLoop::setRealtime(bool realtime) {
    const pthread_t self = pthread_self();
    if (!realtime) {
        sched_param normal{};
        pthread_setschedparam(self, SCHED_OTHER, &normal);
        return;
    }
    int priority = std::clamp(kRealtimePriority, sched_get_priority_min(SCHED_FIFO),
                              sched_get_priority_max(SCHED_FIFO));
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 0 && limit.rlim_cur < static_cast<rlim_t>(priority)) {
        priority = static_cast<int>(limit.rlim_cur);
    }
    sched_param parameter{};
    parameter.sched_priority = priority;
    if (pthread_setschedparam(self, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) == 0) {
        return;
    }
    if (pw_context_get_object(context_, SPA_TYPE_INTERFACE_ThreadUtils) == nullptr) {
        const spa_dict_item dbus[] = {SPA_DICT_ITEM_INIT("support.dbus", "true")};
        const spa_dict allowDBus = SPA_DICT_INIT_ARRAY(dbus);
        pw_context_update_properties(context_, &allowDBus);
        pw_context_load_module(context_, "libpipewire-module-rt", nullptr, nullptr);
    }
    if (auto* utils = static_cast<spa_thread_utils*>(
            pw_context_get_object(context_, SPA_TYPE_INTERFACE_ThreadUtils))) {
        spa_thread_utils_acquire_rt(utils, reinterpret_cast<spa_thread*>(self), kRealtimePriority);
    }
}

bool OwnedLoop::drain() {
    for (int round = 0; round < kLoopBatch; ++round) {
        if (iterateLoop(loop_, 0) == 0) {
            return true;
        }
    }
    return false;
}

// One round per call: the data loop's fd is level-triggered in loop_, so what is left over is seen
// on loop_'s next iteration, and a cycle costs a single look at the data loop.
void OwnedLoop::onDataLoopReady(void* data, int, std::uint32_t) {
    iterateLoop(static_cast<OwnedLoop*>(data)->dataLoop_, 0);
}

}  // namespace qor::pipewire
