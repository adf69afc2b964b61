// The product executable on Linux, seen from outside, against a real private PipeWire server with
// tone players: what it captures, what it lists, how it ends and what it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "AudioAnalysis.h"
#include "CaptureLines.h"
#include "PipeWirePlatform.h"
#include "PipeWireTestSupport.h"
#include "WebSocketTestSupport.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::DisposableAudioServer;
using testing::Environment;
using testing::ProcessResult;
using testing::Subprocess;
using testing::TonePlayer;

constexpr std::size_t kBytesPerSecond = 48000 * 2 * 4;

std::unique_ptr<Subprocess> startCapture(std::vector<std::string> arguments,
                                         const Environment& environment = {}) {
    arguments.insert(arguments.begin(), QOR_CAPTURE_EXECUTABLE);
    return std::make_unique<Subprocess>(std::move(arguments), environment);
}

std::vector<float> floatsOf(const std::string& bytes) {
    return testing::floatsFromBytes(bytes);
}

// Every stderr line is one JSON object; returns them.
std::vector<json> stderrLines(const ProcessResult& result) {
    std::vector<json> parsed;
    for (const std::string& line : testing::lines(result.err)) {
        parsed.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(parsed.back().is_object()) << "not a JSON line: " << line;
    }
    return parsed;
}

// Captures until `seconds` of audio have arrived, then ends the capture with SIGTERM.
ProcessResult captureFor(double seconds, std::vector<std::string> arguments) {
    auto capture = startCapture(std::move(arguments));
    EXPECT_TRUE(
        capture->waitForStdoutBytes(static_cast<std::size_t>(seconds * kBytesPerSecond), 20s))
        << capture->describe();
    capture->sendSignal(SIGTERM);
    ProcessResult result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result;
}

// The player's tone is there at full level and the other one at least 40 dB below it, in every
// quarter second looked at.
void expectOnly(const ProcessResult& result, double present, double absent) {
    const auto samples = floatsOf(result.out);
    const auto wanted = testing::toneLevels(samples, present);
    const auto unwanted = testing::toneLevels(samples, absent);
    EXPECT_NEAR(testing::loudest(wanted), 0.5, 0.05)
        << present << " Hz " << testing::describe(wanted);
    EXPECT_LT(testing::decibels(testing::loudest(unwanted) / 0.5), -40.0)
        << absent << " Hz " << testing::describe(unwanted);
}

class PipeWireCapture : public ::testing::Test {
  protected:
    TonePlayer low{"qor-tone-440", 440};
    TonePlayer high{"qor-tone-1000", 1000};
    testing::TemporaryDirectory directory;
};

TEST_F(PipeWireCapture, IncludeByPidTakesOnlyThatPlayer) {
    const auto result = captureFor(2, {"--include-tree", "--pid", std::to_string(low.pid())});
    expectOnly(result, 440, 1000);
    const auto stderrJSON = stderrLines(result);
    ASSERT_FALSE(stderrJSON.empty());
    EXPECT_EQ(stderrJSON.front().value("source", ""), "process_loopback");
    EXPECT_EQ(stderrJSON.front().value("sourceSampleRate", 0.0), 48000.0);
}

TEST_F(PipeWireCapture, IncludeByBundleIDTakesOnlyThatPlayer) {
    expectOnly(captureFor(2, {"--include-tree", "--bundle-id", high.name()}), 1000, 440);
}

TEST_F(PipeWireCapture, ExcludeByPidTakesEverythingElse) {
    expectOnly(captureFor(2, {"--exclude-tree", "--pid", std::to_string(low.pid())}), 1000, 440);
}

TEST_F(PipeWireCapture, OutputLoopbackTakesBoth) {
    const auto samples = floatsOf(captureFor(2, {"--output-loopback"}).out);
    EXPECT_NEAR(testing::loudest(testing::toneLevels(samples, 440)), 0.5, 0.05);
    EXPECT_NEAR(testing::loudest(testing::toneLevels(samples, 1000)), 0.5, 0.05);
}

// Forces the graph's rate for as long as it lives, and gives the graph back its own rate after.
class ForcedRate {
  public:
    void force(std::uint32_t rate) {
        const auto result = testing::runProcess({"/usr/bin/pw-metadata", "-n", "settings", "0",
                                                 "clock.force-rate", std::to_string(rate)});
        ASSERT_EQ(result.exitStatus, 0) << result.err;
    }
    ~ForcedRate() { force(0); }
};

// A capture of `pid` (or with `arguments`): from its first second of audio on, what arrives is
// measured against the wall clock while `during` runs; then SIGTERM ends it with status 0.
struct TimedCapture {
    ProcessResult result;
    double wallSeconds = 0;
    double audioSeconds = 0;
};
// How far the audio read may be from the wall clock: the reader's own delays count, and under
// ThreadSanitizer every read and every cycle's hand-over runs several times slower.
#if defined(__SANITIZE_THREAD__)
constexpr double kWallTimeShare = 0.03;
#else
constexpr double kWallTimeShare = 0.02;
#endif
TimedCapture captureAgainstWallTime(std::vector<std::string> arguments,
                                    const std::function<void(Subprocess&)>& during) {
    using Clock = std::chrono::steady_clock;
    auto capture = startCapture(std::move(arguments));
    TimedCapture timed;
    EXPECT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond, 20s)) << capture->describe();
    const auto firstTime = Clock::now();
    const std::size_t firstBytes = capture->out().size();
    during(*capture);
    timed.audioSeconds = double(capture->out().size() - firstBytes) / kBytesPerSecond;
    timed.wallSeconds = std::chrono::duration<double>(Clock::now() - firstTime).count();
    capture->sendSignal(SIGTERM);
    timed.result = capture->wait(10s);
    EXPECT_EQ(timed.result.exitStatus, 0) << timed.result.err;
    return timed;
}
TimedCapture captureAgainstWallTime(int pid, const std::function<void(Subprocess&)>& during) {
    return captureAgainstWallTime({"--include-tree", "--pid", std::to_string(pid)}, during);
}

// The graph's rate forced 44100, 96000, then 48000 again, three seconds each, during a capture of
// `pid`; `switches` are the output seconds at which each was forced.
TimedCapture captureRateSwitches(int pid, ForcedRate& forced, std::vector<double>& switches) {
    switches.clear();
    return captureAgainstWallTime(pid, [&](Subprocess& capture) {
        for (std::uint32_t rate : {44100, 96000, 48000}) {
            switches.push_back(double(capture.out().size()) / kBytesPerSecond);
            forced.force(rate);
            std::this_thread::sleep_for(3s);
        }
    });
}

TEST_F(PipeWireCapture, TheGraphRateIsFollowedWhenItChanges) {
    ForcedRate forced;
    std::vector<double> switches;
    auto timed = captureRateSwitches(low.pid(), forced, switches);
    // The player is a peer: pw-cat has been seen to leave the graph at a switch, and then the
    // silence after it says nothing of the capture. Its exit and warnings are shown, and the
    // switches run once more with a new player, which must stay.
    std::optional<TonePlayer> again;
    if (!low.playing()) {
        std::cerr << "the player left during the switches: " << low.describe() << '\n';
        RecordProperty("playerLeft", low.describe());
        again.emplace("qor-tone-440-again", 440);
        timed = captureRateSwitches(again->pid(), forced, switches);
        ASSERT_TRUE(again->playing()) << again->describe();
    }
    const auto& [result, seconds, audio] = timed;
    // 48000 frames a second, whatever the graph ran at: by the wall clock, where the reader's own
    // delays count, and exactly by the graph's clock that the diagnostics lines carry.
    EXPECT_NEAR(audio, seconds, seconds * kWallTimeShare);
    std::vector<json> stamped;
    for (const json& line : stderrLines(result)) {
        if (line.value("hostTimeNs", std::uint64_t{0}) > 0) {
            stamped.push_back(line);
        }
    }
    ASSERT_GE(stamped.size(), 2u) << result.err;
    const double frames = stamped.back()["hostTimeFrame"].get<double>() -
                          stamped.front()["hostTimeFrame"].get<double>();
    const double span =
        (stamped.back()["hostTimeNs"].get<double>() - stamped.front()["hostTimeNs"].get<double>()) /
        1e9;
    ASSERT_GT(span, 4.0);
    RecordProperty("graphFramesPerSecond", std::to_string(frames / span));
    // Measured within 0.001 %: a tenth of a percent is 9 ms, less than one span filled twice.
    EXPECT_NEAR(frames / span, 48000, 48000 * 0.001) << result.err;
    // 440 Hz in every second that holds no switch.
    const auto left = testing::channel(floatsOf(result.out), 0);
    for (std::size_t second = 0; (second + 1) * 48000 <= left.size(); ++second) {
        const bool holdsSwitch = std::any_of(switches.begin(), switches.end(), [&](double at) {
            return at > second - 0.3 && at < second + 1.3;
        });
        if (!holdsSwitch) {
            const std::span<const float> part(left.data() + second * 48000, 48000);
            EXPECT_NEAR(testing::dominantFrequency(part, 48000, 300, 1000), 440, 1.0)
                << "second " << second;
        }
    }
    std::vector<double> announced;
    for (const json& line : stderrLines(result)) {
        if (line.value("event", "") == "source_format") {
            announced.push_back(line.value("sourceSampleRate", 0.0));
        }
    }
    EXPECT_EQ(announced, (std::vector<double>{44100, 96000, 48000})) << result.err;
}

// A native client may declare any process id: one that claims the chosen player's is still
// another process, left out of the player's capture and kept in a capture that excludes it.
TEST(PipeWireImpostor, AClientClaimingThePlayersPidIsNotThePlayer) {
    TonePlayer player("qor-tone-440", 440);
    auto impostor = testing::startDelayedTone(1000, 1ms, {},
                                              {{"QOR_CLAIMED_PID", std::to_string(player.pid())}});
    ASSERT_TRUE(testing::waitForServer(
        [](const json& dump) {
            for (const json& node : testing::objectsOfType(dump, "PipeWire:Interface:Node")) {
                if (node.at("info").at("props").value("media.name", "") == "qor-delayed-tone") {
                    return true;
                }
            }
            return false;
        },
        10s));
    const std::string pid = std::to_string(player.pid());
    expectOnly(captureFor(2, {"--exclude-tree", "--pid", pid}), 1000, 440);
    expectOnly(captureFor(2, {"--include-tree", "--pid", pid}), 440, 1000);
    impostor->sendSignal(SIGTERM);
    impostor->wait(5s);
}

// Whether the latest audio-state line, within `timeout`, is one that `wanted` accepts.
bool waitForState(Subprocess& capture, const std::function<bool(const std::string&)>& wanted,
                  std::chrono::milliseconds timeout) {
    return capture.waitForStderr(
        [&](const std::string& err) {
            const auto history = testing::stateHistory(err);
            return !history.empty() && wanted(history.back());
        },
        timeout);
}

// A stopped player is unlinked while it stays stopped (or, until that is found, keeps the graph
// from scheduling the capture, and that time comes out as silence): a state line says so within
// seconds, the stream keeps wall time, and only the silent blocks are counted as silent. The
// player's return is "flowing" again.
TEST_F(PipeWireCapture, AStoppedPlayerCostsNoTime) {
    const auto [result, seconds,
                audio] = captureAgainstWallTime(low.pid(), [&](Subprocess& capture) {
        // A diagnostics line before the stall, to count from.
        EXPECT_TRUE(capture.waitForStderr(
            [](const std::string& err) { return err.find("capture_stats") != std::string::npos; },
            10s));
        const auto stopped = std::chrono::steady_clock::now();
        ::kill(low.pid(), SIGSTOP);
        EXPECT_TRUE(waitForState(
            capture,
            [](const std::string& state) {
                return state.starts_with("stalled/") || state.starts_with("silent/");
            },
            4s))
            << capture.err();
        std::this_thread::sleep_until(stopped + 4s);
        ::kill(low.pid(), SIGCONT);
        EXPECT_TRUE(waitForState(
            capture, [](const std::string& state) { return state == "flowing/audio_arrives"; }, 4s))
            << capture.err();
        std::this_thread::sleep_for(1s);
    });
    EXPECT_NEAR(audio, seconds, seconds * kWallTimeShare);
    const auto left = testing::channel(floatsOf(result.out), 0);
    const std::span<const float> resumed(left.data() + left.size() - 48000, 48000);
    EXPECT_NEAR(testing::dominantFrequency(resumed, 48000, 300, 1000), 440, 1.0);
    std::vector<json> stats;
    for (const json& line : stderrLines(result)) {
        if (line.contains("diagnostic")) {
            stats.push_back(line);
        }
    }
    ASSERT_GE(stats.size(), 2u);
    // A tone is not silence (the graph may hand a first cycle before the link carries audio); the
    // three seconds of the stall are, in blocks of at most 4096 frames.
    const int before = stats.front()["silentPackets"].get<int>();
    EXPECT_LE(before, 2) << result.err;
    EXPECT_GE(stats.back()["silentPackets"].get<int>() - before, 30) << result.err;
}

// The whole output: a stopped player is unlinked while it stays stopped, so the other one goes on
// being heard with a gap of a few cycles at most, and it is linked again once it goes on.
TEST_F(PipeWireCapture, OneStoppedPlayerOfTwoLeavesTheOtherFlowing) {
    double stopped = 0, resumed = 0;  // output seconds
    const auto [result, seconds, audio] =
        captureAgainstWallTime({"--output-loopback"}, [&](Subprocess& capture) {
            stopped = double(capture.out().size()) / kBytesPerSecond;
            ::kill(low.pid(), SIGSTOP);
            std::this_thread::sleep_for(4s);
            resumed = double(capture.out().size()) / kBytesPerSecond;
            ::kill(low.pid(), SIGCONT);
            std::this_thread::sleep_for(2s);
        });
    EXPECT_NEAR(audio, seconds, seconds * kWallTimeShare);
    const auto left = testing::channel(floatsOf(result.out), 0);
    auto level = [&](double from, double frequency) {
        const auto first = static_cast<std::size_t>(from * 48000);
        const std::span<const float> part(left.data() + first, 4800);
        return testing::amplitudeAt(part, 48000, frequency);
    };
    ASSERT_GT(left.size(), (resumed + 1.5) * 48000);
    // Tenths of a second without the running player's tone: those while the stop is found out
    // (a few cycles) and around the link that comes back.
    std::vector<double> quiet;
    for (double at = 0.5; (at + 0.1) * 48000 <= left.size(); at += 0.1) {
        if (level(at, 1000) < 0.4) {
            quiet.push_back(at);
        }
    }
    EXPECT_LE(quiet.size(), 4u) << ::testing::PrintToString(quiet) << " stopped at " << stopped
                                << ", resumed at " << resumed;
    EXPECT_LT(level((stopped + resumed) / 2, 440), 0.01) << "stopped at " << stopped;
    EXPECT_GT(level(double(left.size()) / 48000 - 0.5, 440), 0.4) << "linked again";
}

// A chosen player that exits leaves nothing to capture: "sources_gone" within seconds, and the
// capture is not rebuilt for it.
TEST(PipeWireSourcesGone, TheChosenPlayerExitingIsReported) {
    testing::TemporaryDirectory directory;
    Subprocess player(testing::toneCommand(directory, "qor-tone-exits", 440));
    ASSERT_TRUE(testing::waitUntilPlaying(player.pid()));
    auto capture = startCapture({"--include-tree", "--pid", std::to_string(player.pid())});
    EXPECT_TRUE(waitForState(
        *capture, [](const std::string& state) { return state == "flowing/audio_arrives"; }, 10s))
        << capture->err();
    player.sendSignal(SIGTERM);
    player.wait(5s);
    EXPECT_TRUE(waitForState(
        *capture, [](const std::string& state) { return state == "silent/sources_gone"; }, 4s))
        << capture->err();
    capture->sendSignal(SIGTERM);
    const auto result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err.find("rebuild"), std::string::npos) << result.err;
}

// A socket pair (what Node.js and Electron give a child) holds a fraction of a second; a host that
// stops reading it for two seconds still loses nothing: no cycle missed, no silence put in.
TEST_F(PipeWireCapture, AHostThatStopsReadingASocketForTwoSecondsLosesNothing) {
    auto capture = std::make_unique<Subprocess>(
        std::vector<std::string>{QOR_CAPTURE_EXECUTABLE, "--include-tree", "--pid",
                                 std::to_string(low.pid())},
        Environment{}, testing::SpawnOptions{.output = testing::Stdout::socketPair});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 2, 20s)) << capture->describe();
    capture->pauseStdout(true);
    std::this_thread::sleep_for(2s);
    capture->pauseStdout(false);
    std::this_thread::sleep_for(1s);
    capture->sendSignal(SIGTERM);
    const ProcessResult result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto left = testing::channel(floatsOf(result.out), 0);
    std::size_t longest = 0;
    // From the first half second on: the graph may hand a first cycle before the link carries
    // audio.
    for (std::size_t i = 24000, run = 0; i < left.size(); ++i) {
        run = left[i] == 0.0f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_LE(longest, 2u) << "no silence in a stream of a steady tone";
    EXPECT_GT(left.size(), 3 * 48000u);
    const auto stats = testing::statsLines(result.err);
    ASSERT_FALSE(stats.empty());
    EXPECT_LE(stats.back().value("silentPackets", 99), 2) << result.err;
}

TEST(PipeWireLateStreams, APlayerStartedDuringAnExclusiveCaptureIsTaken) {
    TonePlayer excluded("qor-tone-excluded", 440);
    auto capture = startCapture({"--exclude-tree", "--pid", std::to_string(excluded.pid())});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 2, 20s)) << capture->describe();
    TonePlayer late("qor-tone-late", 1000);
    const std::size_t already = capture->out().size();
    ASSERT_TRUE(capture->waitForStdoutBytes(already + 2 * kBytesPerSecond, 20s));
    capture->sendSignal(SIGTERM);
    const ProcessResult result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    expectOnly(result, 1000, 440);
}

TEST(PipeWireLateStreams, AStreamThatTheChosenProcessStartsLaterIsTaken) {
    TonePlayer other("qor-tone-bystander", 440);
    auto peer = testing::startDelayedTone(1000, 3000ms);
    // The peer is a client from the start; wait until the server knows it.
    ASSERT_TRUE(testing::waitForServer(
        [&](const json& dump) { return testing::clientOfProcess(dump, peer->pid()).has_value(); },
        10s));
    auto capture = startCapture({"--include-tree", "--pid", std::to_string(peer->pid())});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
    const json before = testing::dumpServer();
    for (const json& client : testing::objectsOfType(before, "PipeWire:Interface:Client")) {
        if (client.at("info").at("props").value("application.process.id", 0) == peer->pid()) {
            ASSERT_TRUE(testing::objectsOwnedBy(before, client.value("id", 0u)).empty())
                << "the peer's stream already existed when the capture began";
        }
    }
    ASSERT_TRUE(capture->waitForStdoutBytes(5 * kBytesPerSecond, 20s)) << capture->describe();
    capture->sendSignal(SIGTERM);
    const ProcessResult result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    expectOnly(result, 1000, 440);
    peer->sendSignal(SIGTERM);
    peer->wait(5s);
}

// The pid each "child PID" or "grandchild PID" line of the family names, in order.
std::vector<int> familyPids(const Subprocess& family, const std::string& role) {
    std::vector<int> pids;
    for (const std::string& line : testing::lines(family.out())) {
        if (line.rfind(role + " ", 0) == 0) {
            pids.push_back(std::stoi(line.substr(role.size() + 1)));
        }
    }
    return pids;
}

// A parent that plays nothing itself, with a 440 Hz player as its child, beside an unrelated
// 1000 Hz player: the parent's tree is captured, or left out, as one.
class PipeWireProcessTree : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::string> arguments{"/usr/bin/python3", QOR_TONE_FAMILY};
        for (const auto& part : toneCommand("qor-tree-child", 440)) {
            arguments.push_back(part);
        }
        arguments.push_back("+");
        for (const auto& part : toneCommand("qor-tree-grandchild", 700)) {
            arguments.push_back(part);
        }
        family = std::make_unique<Subprocess>(std::move(arguments));
        ASSERT_TRUE(waitForFamily("child", 1));
        ASSERT_TRUE(testing::waitUntilPlaying(familyPids(*family, "child").at(0)));
    }
    void TearDown() override {
        family->sendSignal(SIGTERM);
        family->wait(10s);
    }
    std::vector<std::string> toneCommand(const std::string& name, double frequency) {
        return testing::toneCommand(directory, name, frequency);
    }
    bool waitForFamily(const std::string& role, std::size_t count) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (familyPids(*family, role).size() >= count) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    TonePlayer unrelated{"qor-tone-1000", 1000};
    testing::TemporaryDirectory directory;
    std::unique_ptr<Subprocess> family;
};

TEST_F(PipeWireProcessTree, IncludeTakesTheTreeAndAGrandchildThatStartsLaterWithoutAGap) {
    auto capture = startCapture({"--include-tree", "--pid", std::to_string(family->pid())});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
    const auto start = std::chrono::steady_clock::now();
    const std::size_t startBytes = capture->out().size();
    ASSERT_TRUE(capture->waitForStdoutBytes(startBytes + 2 * kBytesPerSecond, 20s));

    family->sendSignal(SIGUSR1);
    ASSERT_TRUE(waitForFamily("grandchild", 1));
    ASSERT_TRUE(testing::waitUntilPlaying(familyPids(*family, "grandchild").at(0)));
    ASSERT_TRUE(capture->waitForStdoutBytes(capture->out().size() + 2 * kBytesPerSecond, 20s));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t delivered = capture->out().size() - startBytes;
    capture->sendSignal(SIGTERM);
    const ProcessResult result = capture->wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    // The stream ran on while the grandchild's links were added: every block of the elapsed time
    // arrived (a gap of a tenth of a second would be 2.5% of it).
    EXPECT_NEAR(static_cast<double>(delivered) / (elapsed * kBytesPerSecond), 1.0, 0.02)
        << delivered << " bytes in " << elapsed << " s";
    expectOnly(result, 440, 1000);
    const auto grandchild = testing::toneLevels(floatsOf(result.out), 700);
    EXPECT_NEAR(testing::loudest(grandchild), 0.5, 0.05) << testing::describe(grandchild);
}

TEST_F(PipeWireProcessTree, ExcludeLeavesTheTreeOut) {
    expectOnly(captureFor(2, {"--exclude-tree", "--pid", std::to_string(family->pid())}), 1000,
               440);
}

TEST(PipeWireProcessTreeByBundle, AnApplicationIsCapturedWithItsChildProcess) {
    TonePlayer unrelated("qor-tone-1000", 1000);
    testing::TemporaryDirectory directory;
    auto application =
        testing::startDelayedTone(440, 1ms, testing::toneCommand(directory, "qor-helper", 700));
    // Both streams start at once; the capture judges the loudest of its last quarter seconds.
    std::this_thread::sleep_for(1500ms);
    const auto result = captureFor(2, {"--include-tree", "--bundle-id", "qor-delayed-tone"});
    application->sendSignal(SIGTERM);
    application->wait(10s);
    expectOnly(result, 440, 1000);
    const auto helper = testing::toneLevels(floatsOf(result.out), 700);
    EXPECT_NEAR(testing::loudest(helper), 0.5, 0.05) << testing::describe(helper);
}

TEST_F(PipeWireCapture, SourceListNamesThePlayersButNotTheDaemonsNorAnyCapture) {
    // Another capture, under another file name: a client of the server like any player.
    const std::filesystem::path renamed =
        std::filesystem::path(directory.path()) / "renamed-capture";
    std::filesystem::copy_file(QOR_CAPTURE_EXECUTABLE, renamed);
    auto other =
        std::make_unique<Subprocess>(std::vector<std::string>{renamed, "--output-loopback"});
    ASSERT_TRUE(other->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << other->describe();
    auto listing = startCapture({"--list-sources"});
    const int ownPid = listing->pid();
    const ProcessResult result = listing->wait(10s);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const json list = json::parse(result.out);
    EXPECT_EQ(list.value("success", false), true);
    int players = 0;
    for (const json& source : list.at("sources")) {
        const std::string bundle = source.value("bundleId", "");
        EXPECT_NE(bundle, "wireplumber");
        EXPECT_NE(bundle.rfind("pipewire", 0), 0u) << bundle;
        EXPECT_NE(source.value("processId", 0), ownPid);
        EXPECT_NE(source.value("processId", 0), other->pid());
        for (const TonePlayer* player : {&low, &high}) {
            if (source.value("processId", 0) == player->pid()) {
                ++players;
                EXPECT_EQ(bundle, player->name());
                EXPECT_EQ(source.value("name", ""), player->name());
                EXPECT_EQ(source.value("processName", ""), player->name());
                EXPECT_EQ(source.value("id", ""), "application:" + player->name());
            }
        }
    }
    EXPECT_EQ(players, 2);
    other->sendSignal(SIGTERM);
    EXPECT_EQ(other->wait(10s).exitStatus, 0);
}

// The capture program's node and links while it runs; none of them may survive it.
std::vector<std::uint64_t> ownedObjects(int pid) {
    std::vector<std::uint64_t> owned;
    testing::waitForServer(
        [&](const json& dump) {
            auto client = testing::clientOfProcess(dump, pid);
            owned = client ? testing::serialsOwnedBy(dump, *client) : std::vector<std::uint64_t>{};
            return owned.size() >= 3;  // the capture node and a link per channel
        },
        10s);
    return owned;
}

void expectGone(const std::vector<std::uint64_t>& objects) {
    EXPECT_TRUE(testing::waitForServer(
        [&](const json& dump) {
            for (std::uint64_t serial : objects) {
                if (testing::hasSerial(dump, serial)) {
                    return false;
                }
            }
            return true;
        },
        5s));
}

TEST_F(PipeWireCapture, TerminationSignalsEndWithStatusZeroAndLeaveNothing) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        auto capture = startCapture({"--include-tree", "--pid", std::to_string(low.pid())});
        ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
        const auto owned = ownedObjects(capture->pid());
        EXPECT_GE(owned.size(), 3u);
        capture->sendSignal(signal);
        const ProcessResult result = capture->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        for (const json& line : stderrLines(result)) {
            EXPECT_EQ(line.value("success", true), true) << line.dump();
        }
        expectGone(owned);
    }
}

// A capture of one player whose standard output is a FIFO that the test reads at its own pace
// (non-blocking), as a host would that is sometimes busy.
struct CaptureIntoFifo {
    explicit CaptureIntoFifo(int pid) {
        if (::mkfifo(fifo.c_str(), 0600) == 0) {
            reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        capture = std::make_unique<Subprocess>(std::vector<std::string>{
            "/bin/sh", "-c", "exec \"$@\" >\"$0\"", fifo, QOR_CAPTURE_EXECUTABLE, "--include-tree",
            "--pid", std::to_string(pid)});
    }
    ~CaptureIntoFifo() {
        if (reader >= 0) {
            ::close(reader);
        }
    }
    testing::TemporaryDirectory directory;
    const std::string fifo = directory.file("stdout");
    int reader = -1;
    std::unique_ptr<Subprocess> capture;
};

TEST_F(PipeWireCapture, AReaderThatPausesForMostOfASecondLosesNoAudio) {
    CaptureIntoFifo output(low.pid());
    ASSERT_GE(output.reader, 0);
    using Clock = std::chrono::steady_clock;
    std::size_t total = 0;
    Clock::time_point last{};
    const auto readFor = [&](Clock::duration span) {
        std::vector<char> buffer(1 << 16);
        for (const auto end = Clock::now() + span; Clock::now() < end;) {
            pollfd readable{output.reader, POLLIN, 0};
            ::poll(&readable, 1, 10);
            const ssize_t count = ::read(output.reader, buffer.data(), buffer.size());
            if (count > 0) {
                total += static_cast<std::size_t>(count);
                last = Clock::now();
            }
        }
    };
    for (int i = 0; i < 100 && total == 0; ++i) {
        readFor(100ms);
    }
    ASSERT_GT(total, 0u) << output.capture->describe();
    const auto first = last;
    const std::size_t before = total;
    readFor(400ms);
    std::this_thread::sleep_for(800ms);  // the host is busy: nothing reads
    readFor(400ms);
    // The audio that came after the first bytes spans the time it took to come: no cycle was lost
    // while the reader paused.
    const double arrived = static_cast<double>(total - before) / kBytesPerSecond;
    EXPECT_NEAR(arrived, std::chrono::duration<double>(last - first).count(), 0.1);
    output.capture->sendSignal(SIGTERM);
    EXPECT_EQ(output.capture->wait(10s).exitStatus, 0);
}

TEST_F(PipeWireCapture, AStopIsPromptEvenWhenStandardOutputIsNoLongerRead) {
    // A host that stopped reading: the FIFO is held open here and never read, so the pipe fills
    // and the capture's writes wait.
    CaptureIntoFifo output(low.pid());
    ASSERT_GE(output.reader, 0);
    const int reader = output.reader;
    Subprocess& capture = *output.capture;
    const auto owned = ownedObjects(capture.pid());
    EXPECT_GE(owned.size(), 3u);
    // Full: the bytes waiting in the pipe stop growing while the capture runs.
    int pending = 0;
    for (int unchanged = 0, i = 0; unchanged < 5 && i < 100; ++i) {
        std::this_thread::sleep_for(100ms);
        int now = 0;
        ::ioctl(reader, FIONREAD, &now);
        unchanged = now == pending && now > 0 ? unchanged + 1 : 0;
        pending = now;
    }
    ASSERT_GT(pending, 32768) << "the pipe never filled";

    const auto signalled = std::chrono::steady_clock::now();
    capture.sendSignal(SIGTERM);
    const ProcessResult result = capture.wait(10s);
#if defined(__SANITIZE_THREAD__)
    constexpr auto kBound = 2s;  // every step of the teardown runs several times slower
#else
    constexpr auto kBound = 1s;
#endif
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, kBound);
    EXPECT_EQ(result.exitStatus, 0);
    const auto stderrJSON = stderrLines(result);
    ASSERT_FALSE(stderrJSON.empty());
    EXPECT_EQ(stderrJSON.front().value("success", false), true);
    EXPECT_EQ(result.err.back(), '\n');
    for (const json& line : stderrJSON) {
        EXPECT_FALSE(line.contains("error")) << line.dump();
    }
    expectGone(owned);
}

// Whether this machine lets a thread of ours take real-time priority directly (as root, or with an
// RLIMIT_RTPRIO): then the capture's graph thread must have it.
bool realTimeGranted() {
    bool granted = false;
    std::thread probe([&] {
        sched_param parameter{};
        parameter.sched_priority = sched_get_priority_min(SCHED_FIFO);
        granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
    });
    probe.join();
    return granted;
}

// The I/O queue's thread runs the graph's cycles; it is named after the queue label's tail.
std::optional<int> schedulingPolicyOfThread(int pid, const std::string& name) {
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) {
            return sched_getscheduler(std::stoi(task.path().filename().string()));
        }
    }
    return std::nullopt;
}

TEST_F(PipeWireCapture, TheGraphThreadRunsAtRealTimePriorityWhereGranted) {
    auto capture = startCapture({"--include-tree", "--pid", std::to_string(low.pid())});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
    const auto policy = schedulingPolicyOfThread(capture->pid(), "native-audio.io");
    ASSERT_TRUE(policy.has_value());
    EXPECT_EQ(*policy & ~SCHED_RESET_ON_FORK, realTimeGranted() ? SCHED_FIFO : SCHED_OTHER);
    capture->sendSignal(SIGTERM);
    EXPECT_EQ(capture->wait(10s).exitStatus, 0);
}

TEST_F(PipeWireCapture, AKilledCaptureLeavesNothingEither) {
    auto capture = startCapture({"--output-loopback"});
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
    const auto owned = ownedObjects(capture->pid());
    EXPECT_GE(owned.size(), 3u);
    capture->sendSignal(SIGKILL);
    capture->wait(10s);
    expectGone(owned);
}

// A host that is a shell, the capture writing to a file or streaming to a WebSocket server, killed
// with SIGKILL: the capture stops in order within a second (the server sees it close), leaves
// nothing in the server, and the file keeps what it captured. With the watch turned off the capture
// outlives the shell.
TEST_F(PipeWireCapture, ACaptureEndsWithTheProcessThatStartedIt) {
    struct Case {
        bool watched;
        bool websocket;
    };
    for (const Case c : {Case{true, false}, Case{true, true}, Case{false, false}}) {
        SCOPED_TRACE(std::to_string(c.watched) + (c.websocket ? " websocket" : " file"));
        testing::TemporaryDirectory directory;
        std::optional<testing::WebSocketPeer> peer;
        const std::string audio = directory.file("audio.raw");
        const std::string err = directory.file("err.log");
        std::string command = std::string(QOR_CAPTURE_EXECUTABLE) + " --include-tree --pid " +
                              std::to_string(low.pid());
        if (c.websocket) {
            peer.emplace();
            command += " --ws-url " + peer->url();
        }
        command += " > " + audio + " 2> " + err + " & echo $!; wait";
        Environment environment;
        if (!c.watched) {
            environment["QOR_WATCH_PID"] = "0";
        }
        Subprocess shell({"/bin/sh", "-c", command}, environment);
        const auto line = shell.readStdoutLine(10s);
        ASSERT_TRUE(line);
        const int capture = std::stoi(*line);
        const auto owned = ownedObjects(capture);
        if (c.websocket) {
            ASSERT_EQ(peer->binaryMessages(20).size(), 20u);
        }
        while (!c.websocket && std::filesystem::file_size(audio) < kBytesPerSecond) {
            std::this_thread::sleep_for(50ms);
        }
        shell.sendSignal(SIGKILL);
        shell.wait(10s);
        if (!c.watched) {
            EXPECT_FALSE(testing::waitForProcessEnd(capture, 3s)) << "the watch was turned off";
            ::kill(capture, SIGTERM);
            continue;
        }
        EXPECT_TRUE(testing::waitForProcessEnd(capture, 1s));
        expectGone(owned);
        if (c.websocket) {
            testing::expectClosedGoingAway(*peer);
        }
        EXPECT_EQ(std::filesystem::file_size(audio) % 8, 0u) << "whole frames only";
        std::ifstream log(err);
        const std::string text((std::istreambuf_iterator<char>(log)),
                               std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(R"({"event":"host_exited","pid":)" + std::to_string(shell.pid()) + "}"),
                  std::string::npos)
            << text;
    }
}

TEST(PipeWireServerLoss, AServerKilledMidCaptureEndsItWithStatusOne) {
    DisposableAudioServer server;
    auto capture = startCapture({"--output-loopback"}, server.environment());
    ASSERT_TRUE(capture->waitForStdoutBytes(kBytesPerSecond / 4, 20s)) << capture->describe();
    ::kill(server.pipewirePid(), SIGKILL);
    const ProcessResult result = capture->wait(10s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 1);
    const auto stderrJSON = stderrLines(result);
    ASSERT_GE(stderrJSON.size(), 2u);
    EXPECT_EQ(stderrJSON.front().value("success", false), true);
    EXPECT_EQ(testing::lines(result.err).back(),
              R"({"error":"audio_server_disconnected","success":false})");
}

Environment noServer(const testing::TemporaryDirectory& empty) {
    return {{"XDG_RUNTIME_DIR", empty.path()}};
}

void expectUnsupported(const Environment& environment) {
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult capabilities =
        testing::runProcess({QOR_CAPTURE_EXECUTABLE, "--capabilities"}, environment);
    EXPECT_EQ(capabilities.exitStatus, 0);
    const json line = json::parse(capabilities.out);
    EXPECT_EQ(line.value("supported", true), false);
    EXPECT_EQ(line.value("systemAudio", true), false);
    EXPECT_EQ(line.value("minimumSystemVersion", ""), pipewire::kMinimumServerVersion);

    // Neither a capture nor a list of sources: without the server there is no list to give.
    for (const char* job : {"--output-loopback", "--list-sources"}) {
        const ProcessResult refused =
            testing::runProcess({QOR_CAPTURE_EXECUTABLE, job}, environment);
        EXPECT_EQ(refused.exitStatus, 1) << job;
        EXPECT_EQ(refused.out, "") << job;
        EXPECT_EQ(refused.err, "{\"error\":\"pipewire_required\",\"success\":false}\n") << job;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 25s);
}

TEST(PipeWireSystem, WithoutAServerCaptureIsUnsupported) {
    testing::TemporaryDirectory empty;
    expectUnsupported(noServer(empty));
}

TEST(PipeWireSystem, AServerThatNeverAnswersIsUnsupportedWithinSeconds) {
    DisposableAudioServer server;
    ::kill(server.pipewirePid(), SIGSTOP);
    expectUnsupported(server.environment());
    ::kill(server.pipewirePid(), SIGCONT);
}

TEST(PipeWireSystem, AReachableServerIsSupported) {
    const ProcessResult capabilities =
        testing::runProcess({QOR_CAPTURE_EXECUTABLE, "--capabilities"});
    EXPECT_EQ(capabilities.exitStatus, 0);
    const json line = json::parse(capabilities.out);
    EXPECT_EQ(line.value("supported", false), true);
    EXPECT_EQ(line.value("minimumSystemVersion", ""), pipewire::kMinimumServerVersion);
}

}  // namespace
}  // namespace qor
