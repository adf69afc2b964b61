// Entry of the PipeWire suites: every test talks to the private audio server.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "PipeWireTestSupport.h"
#include "Subprocess.h"

namespace {

// CTest ends a test that runs for two minutes and says nothing of where it was. A test still
// running after `kPatience` puts every thread's stack on standard error first (gdb's, or what
// /proc tells where gdb is missing), so that a rare hang carries its evidence.
class HangReporter : public ::testing::EmptyTestEventListener {
  public:
    // The watcher outlives the listener, which the test framework deletes at exit: it only
    // reads `started_`, a static.
    HangReporter() { std::thread(&HangReporter::watch).detach(); }
    void OnTestStart(const ::testing::TestInfo&) override { started_.store(nowSeconds()); }
    void OnTestEnd(const ::testing::TestInfo&) override { started_.store(0); }

  private:
    static constexpr long kPatience = 100;

    static long nowSeconds() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    static void watch() {
        long reported = 0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long started = started_.load();
            if (started != 0 && started != reported && nowSeconds() - started > kPatience) {
                reported = started;
                report();
            }
        }
    }

    static void report() {
        std::fprintf(stderr, "\nstill running after %ld s; the stacks of its threads:\n",
                     kPatience);
        std::fflush(stderr);
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);
        const std::string gdb = "gdb -p " + std::to_string(::getpid()) +
                                " -batch -ex 'thread apply all bt' 1>&2 2>/dev/null";
        if (std::system(gdb.c_str()) == 0) {
            return;
        }
        std::fprintf(stderr, "threads:%s\n", qor::testing::threadWaits(::getpid()).c_str());
    }

    static inline std::atomic<long> started_{0};  // when the running test began; 0 between tests
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new qor::testing::AudioServerEnvironment);
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangReporter);
    return RUN_ALL_TESTS();
}
