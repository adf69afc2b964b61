// Termination signals at any moment of a capture's life, from its first instruction to steady
// streaming, against the real server. A capture that has its handlers must stop in order with
// status 0; one that does not have them yet may only die of the very signal it was sent. None may
// hang, crash, fail, write anything but JSON objects on standard error or leave a node or link on
// the server.
//
//   QOR_SIGNAL_STORM_RUNS  number of captures (20 by default; 100 is the long run)
//   QOR_SIGNAL_STORM_SEED  replays a storm (random when unset; the seed is printed at the start
//                          and with every failure; scripts/test.sh fixes it)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "PipeWireTestSupport.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::ProcessResult;
using testing::Subprocess;
using testing::TonePlayer;
using Clock = std::chrono::steady_clock;

constexpr const char* kNodeNamePrefix = "QOR Native Audio ";
// Captures running at once: enough to overlap start-ups and teardowns on the server, few enough
// for two cores.
constexpr std::size_t kConcurrent = 4;
// Signals land between 0 and this long after the start, well past the first audio.
constexpr auto kLatestSignal = 1500ms;
// A capture must be gone this long after its signal.
constexpr auto kEndWithin = 10s;
// The players' wave lasts 30 seconds; a younger one is certain to outlive a batch.
constexpr auto kPlayerLifetime = 15s;

std::size_t runsFromEnvironment() {
    const char* text = std::getenv("QOR_SIGNAL_STORM_RUNS");
    if (text == nullptr || *text == '\0') {
        return 20;
    }
    return static_cast<std::size_t>(std::max(1L, std::strtol(text, nullptr, 10)));
}

std::uint32_t seedFromEnvironment() {
    if (const char* text = std::getenv("QOR_SIGNAL_STORM_SEED"); text != nullptr && *text) {
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    }
    return std::random_device{}();
}

enum class Mode { include, exclude, loopback };

const char* nameOf(Mode mode) {
    switch (mode) {
        case Mode::include:
            return "include";
        case Mode::exclude:
            return "exclude";
        case Mode::loopback:
            return "loopback";
    }
    return "?";
}

struct Capture {
    std::size_t index = 0;
    Mode mode = Mode::loopback;
    int signal = SIGTERM;
    // When the signal goes: `delay` after the start, or the instant the start-up line shows, which
    // is when the handlers are being installed.
    std::chrono::milliseconds delay{0};
    bool atStartupLine = false;

    std::unique_ptr<Subprocess> process;
    int pid = 0;
    Clock::time_point started;
    Clock::time_point signalled;
    // What had reached the pipes when the signal went: audio means the device runs, and the
    // handlers are installed before the device starts.
    bool outputBeforeSignal = false;
    bool audioBeforeSignal = false;
    ProcessResult result;

    std::string describe() const {
        const auto after =
            std::chrono::duration_cast<std::chrono::milliseconds>(signalled - started);
        return "run " + std::to_string(index) + " (" + nameOf(mode) + ", " + strsignal(signal) +
               (atStartupLine ? " at the start-up line, " : " at ") +
               std::to_string(after.count()) + " ms" +
               (audioBeforeSignal    ? ", after audio"
                : outputBeforeSignal ? ", after the start-up line"
                                     : ", before any output") +
               ")";
    }
};

// The delays form a stratified sample, one per equal slice of [0, 1) squared: every part of the
// span is visited, with start-up (where the handlers appear) visited most. A quarter of the runs
// race the handlers instead.
std::vector<Capture> planStorm(std::size_t count, std::mt19937& random) {
    std::vector<Capture> runs(count);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> modes(0, 5);
    for (std::size_t i = 0; i < count; ++i) {
        const double u = (static_cast<double>(i) + unit(random)) / static_cast<double>(count);
        runs[i].delay = std::chrono::milliseconds(
            std::lround(u * u * static_cast<double>(kLatestSignal.count())));
        runs[i].atStartupLine = unit(random) < 0.25;
        runs[i].signal = unit(random) < 0.5 ? SIGTERM : SIGINT;
        // Mostly the process capture, the path with the most set-up.
        const int mode = modes(random);
        runs[i].mode = mode < 3 ? Mode::include : mode < 4 ? Mode::exclude : Mode::loopback;
    }
    std::shuffle(runs.begin(), runs.end(), random);
    for (std::size_t i = 0; i < count; ++i) {
        runs[i].index = i;
    }
    return runs;
}

std::vector<std::string> argumentsFor(Mode mode, int playerPid) {
    switch (mode) {
        case Mode::include:
            return {QOR_CAPTURE_EXECUTABLE, "--include-tree", "--pid", std::to_string(playerPid)};
        case Mode::exclude:
            return {QOR_CAPTURE_EXECUTABLE, "--exclude-tree", "--pid", std::to_string(playerPid)};
        case Mode::loopback:
            return {QOR_CAPTURE_EXECUTABLE, "--output-loopback"};
    }
    return {};
}

// Ended, but not yet collected.
bool hasEnded(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Signals the capture at its moment. Racing the start-up line means watching for it without a
// pause: the handlers follow it within microseconds.
void signalAtItsMoment(Capture& run) {
    if (run.atStartupLine) {
        const auto giveUp = run.started + kEndWithin;
        while (run.process->err().empty() && !hasEnded(run.pid) && Clock::now() < giveUp) {
            std::this_thread::yield();
        }
    } else {
        std::this_thread::sleep_until(run.started + run.delay);
    }
    run.audioBeforeSignal = !run.process->out().empty();
    run.outputBeforeSignal = run.audioBeforeSignal || !run.process->err().empty();
    run.process->sendSignal(run.signal);
    run.signalled = Clock::now();
}

// Starts the batch together, signals each at its moment and waits for all, never past
// kEndWithin after a signal. Subprocess drains both pipes as they fill, so a capture never blocks
// on a full one.
void storm(std::span<Capture> batch, int playerPid) {
    for (Capture& run : batch) {
        run.process = std::make_unique<Subprocess>(argumentsFor(run.mode, playerPid));
        run.pid = run.process->pid();
        run.started = Clock::now();
    }
    std::vector<std::thread> signallers;
    for (Capture& run : batch) {
        signallers.emplace_back([&run] { signalAtItsMoment(run); });
    }
    for (std::thread& signaller : signallers) {
        signaller.join();
    }
    for (Capture& run : batch) {
        const auto left = run.signalled + kEndWithin - Clock::now();
        run.result = run.process->wait(
            std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(left)));
        run.process.reset();
    }
}

void expectOrderlyEnd(const Capture& run) {
    SCOPED_TRACE(run.describe());
    const ProcessResult& result = run.result;
    if (result.timedOut) {
        ADD_FAILURE() << "still running " << kEndWithin.count() << " s after the signal";
    } else if (result.deathSignal) {
        EXPECT_EQ(*result.deathSignal, run.signal)
            << "died of " << strsignal(*result.deathSignal) << "\n"
            << result.err;
        EXPECT_FALSE(run.audioBeforeSignal)
            << "streamed audio, so its handlers were installed, yet died of the signal";
    } else {
        EXPECT_EQ(result.exitStatus, 0) << result.err;
    }

    // A line's line feed is a write of its own, so a signal that beats the handlers may fall
    // between the two; the object itself is whole either way.
    if (!result.deathSignal) {
        EXPECT_TRUE(result.err.empty() || result.err.back() == '\n')
            << "unfinished line on standard error: " << result.err;
    }
    std::vector<json> lines;
    for (const std::string& line : testing::lines(result.err)) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << "not a JSON line: " << line;
        EXPECT_NE(lines.back().value("success", true), false) << line;
    }
    if (result.exitStatus == 0) {
        // An orderly stop comes only after a capture that started and announced itself.
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().value("success", false), true) << result.err;
        EXPECT_EQ(lines.front().value("source", ""),
                  run.mode == Mode::loopback ? "output_loopback" : "process_loopback");
        EXPECT_EQ(result.out.size() % 8, 0u) << "a stereo float frame was cut short";
    }
}

struct Leftovers {
    std::vector<std::string> found;
    bool empty() const { return found.empty(); }
};

const json& propsOf(const json& object) {
    static const json none = json::object();
    const auto info = object.find("info");
    if (info == object.end() || !info->is_object()) {
        return none;
    }
    const auto props = info->find("props");
    return props != info->end() && props->is_object() ? *props : none;
}

std::optional<std::uint64_t> serialOf(const json& object) {
    const json& props = propsOf(object);
    const auto serial = props.find("object.serial");
    if (serial == props.end()) {
        return std::nullopt;
    }
    if (serial->is_string()) {
        return std::stoull(serial->get<std::string>());
    }
    return serial->is_number_unsigned() ? std::optional(serial->get<std::uint64_t>())
                                        : std::nullopt;
}

// Our nodes and links in a dump: a node named like ours, a client of one of our processes, or any
// node or link that was not there before the captures.
Leftovers leftoversIn(const json& dump, const std::set<std::uint64_t>& before,
                      std::span<const Capture> runs) {
    Leftovers leftovers;
    for (const std::string type : {"PipeWire:Interface:Node", "PipeWire:Interface:Link"}) {
        for (const json& object : testing::objectsOfType(dump, type)) {
            const std::string name = propsOf(object).value("node.name", "");
            const auto serial = serialOf(object);
            if (name.rfind(kNodeNamePrefix, 0) == 0 || !serial || !before.contains(*serial)) {
                leftovers.found.push_back(type + " " + std::to_string(object.value("id", 0u)) +
                                          " " + name);
            }
        }
    }
    for (const Capture& run : runs) {
        if (run.pid > 0 && testing::clientOfProcess(dump, run.pid)) {
            leftovers.found.push_back("the client of " + run.describe());
        }
    }
    return leftovers;
}

std::set<std::uint64_t> nodesAndLinks(const json& dump) {
    std::set<std::uint64_t> serials;
    for (const std::string type : {"PipeWire:Interface:Node", "PipeWire:Interface:Link"}) {
        for (const json& object : testing::objectsOfType(dump, type)) {
            if (const auto serial = serialOf(object)) {
                serials.insert(*serial);
            }
        }
    }
    return serials;
}

// The server drops a dead client's objects shortly after the process goes, not at once.
void expectNothingLeft(const std::set<std::uint64_t>& before, std::span<const Capture> runs) {
    Leftovers last;
    const bool clean = testing::waitForServer(
        [&](const json& dump) {
            last = leftoversIn(dump, before, runs);
            return last.empty();
        },
        5s);
    std::string list;
    for (const std::string& item : last.found) {
        list += "\n  " + item;
    }
    EXPECT_TRUE(clean) << "left on the server:" << list;
}

TEST(PipeWireSignalStorm, EveryCaptureEndsInOrderOrByItsSignalAndLeavesNothing) {
    const std::size_t count = runsFromEnvironment();
    const std::uint32_t seed = seedFromEnvironment();
    SCOPED_TRACE("QOR_SIGNAL_STORM_SEED=" + std::to_string(seed));
    // Written before the storm, so that a run that hangs still tells how to replay it.
    std::printf("signal storm: QOR_SIGNAL_STORM_SEED=%u, %zu captures\n", seed, count);
    std::fflush(stdout);
    std::mt19937 random(seed);
    std::vector<Capture> runs = planStorm(count, random);

    const auto begun = Clock::now();
    const std::set<std::uint64_t> initially = nodesAndLinks(testing::dumpServer());
    std::unique_ptr<TonePlayer> player;
    Clock::time_point playerBorn;
    std::set<std::uint64_t> before;
    for (std::size_t first = 0; first < runs.size(); first += kConcurrent) {
        if (!player || Clock::now() - playerBorn > kPlayerLifetime) {
            player.reset();
            player = std::make_unique<TonePlayer>("qor-storm-tone", 440);
            playerBorn = Clock::now();
            before = nodesAndLinks(testing::dumpServer());
        }
        std::span<Capture> batch(runs.data() + first, std::min(kConcurrent, runs.size() - first));
        storm(batch, player->pid());
        for (const Capture& run : batch) {
            expectOrderlyEnd(run);
        }
        expectNothingLeft(before, batch);
        if (::testing::Test::HasFailure()) {
            break;  // the rest would only bury the first fault
        }
    }
    player.reset();
    expectNothingLeft(initially, runs);

    std::size_t started = 0, ordered = 0, byTheirSignal = 0, afterAudio = 0, beforeOutput = 0,
                racing = 0;
    for (const Capture& run : runs) {
        if (run.pid <= 0) {
            continue;
        }
        ++started;
        ordered += run.result.exitStatus == 0 ? 1 : 0;
        byTheirSignal += run.result.deathSignal == run.signal ? 1 : 0;
        afterAudio += run.audioBeforeSignal ? 1 : 0;
        beforeOutput += run.outputBeforeSignal ? 0 : 1;
        racing += run.atStartupLine ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    std::printf(
        "signal storm (seed %u): %zu captures, %zu ended with status 0, %zu died of their "
        "signal; %zu signalled at the start-up line, %zu before any output, %zu after audio "
        "began; %.1f s\n",
        seed, started, ordered, byTheirSignal, racing, beforeOutput, afterAudio, seconds);
    // The latest slice of delays lies well past a normal start-up; if no capture got there, the
    // storm never reached steady streaming and proved nothing about it.
    EXPECT_GT(afterAudio, 0u) << "no capture streamed before its signal";
}

}  // namespace
}  // namespace qor
