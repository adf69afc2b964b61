// Whole captures on the simulated platform, run as a process and ended by a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "AudioAnalysis.h"
#include "CaptureLines.h"
#include "Subprocess.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using testing::lines;
using testing::Subprocess;
using testing::TemporaryDirectory;

struct Capture {
    // `launcher`: a command that runs the executable, when there is one.
    Capture(std::vector<std::string> arguments, nlohmann::json scenario,
            testing::SpawnOptions options = {}, const std::vector<std::string>& launcher = {}) {
        scenario["eventLog"] = directory.file("events.log");
        std::ofstream(directory.file("scenario.json")) << scenario.dump();
        arguments.insert(arguments.begin(), QOR_SIMULATED_EXECUTABLE);
        arguments.insert(arguments.begin(), launcher.begin(), launcher.end());
        process =
            std::make_unique<Subprocess>(arguments,
                                         std::map<std::string, std::string>{
                                             {"QOR_SIM_SCENARIO", directory.file("scenario.json")}},
                                         std::move(options));
    }
    std::vector<std::string> events() const {
        std::ifstream file(directory.file("events.log"));
        std::vector<std::string> result;
        for (std::string line; std::getline(file, line);) {
            result.push_back(line);
        }
        return result;
    }
    TemporaryDirectory directory;
    std::unique_ptr<Subprocess> process;
};

nlohmann::json players(double tapRate) {
    return {{"applications",
             {{{"pid", 100},
               {"bundleId", "com.a"},
               {"name", "A"},
               {"audioObject", 501},
               {"frequency", 440},
               {"amplitude", 0.5}},
              {{"pid", 200},
               {"bundleId", "com.b"},
               {"name", "B"},
               {"audioObject", 502},
               {"frequency", 1000},
               {"amplitude", 0.25}}}},
            {"format", {{"sampleRate", tapRate}}},
            {"framesPerCallback", static_cast<int>(tapRate / 100)}};
}

const std::vector<std::string> kTeardown{
    "create tap 1000",  "create device 1001",  "create ioproc 1002",  "start device 1001",
    "stop device 1001", "destroy ioproc 1002", "destroy device 1001", "destroy tap 1000"};
// A capture that names a process also follows its tree, through a listener made last.
const std::vector<std::string> kFollowingTeardown{
    "create tap 1000",   "create device 1001",     "create ioproc 1002",
    "start device 1001", "add process listener 1", "remove process listener 1",
    "stop device 1001",  "destroy ioproc 1002",    "destroy device 1001",
    "destroy tap 1000"};

TEST(SimulatedCapture, AudioArrivesAt48000WithTheSourceFrequencyAndLevel) {
    for (double tapRate : {48000.0, 44100.0, 96000.0}) {
        SCOPED_TRACE(tapRate);
        Capture capture({"--include-tree", "--pid", "100"}, players(tapRate));
        // One second of audio at 48000 frames per second, 8 bytes a frame.
        ASSERT_TRUE(capture.process->waitForStdoutBytes(48000 * 8, 10s));
        capture.process->sendSignal(SIGTERM);
        const auto result = capture.process->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);

        const auto samples = testing::floatsFromBytes(result.out);
        ASSERT_EQ(result.out.size() % 8, 0u);
        const auto left = testing::channel(samples, 0);
        const auto right = testing::channel(samples, 1);
        const std::span<const float> second(left.data(), 48000);
        EXPECT_NEAR(testing::dominantFrequency(second, 48000, 100, 2000), 440, 1.0);
        EXPECT_NEAR(testing::amplitudeAt(second, 48000, 440), 0.5, 0.01);
        EXPECT_LT(testing::amplitudeAt(second, 48000, 1000), 0.001) << "the other player";
        EXPECT_NEAR(left[1234], -right[1234], 1e-6) << "left and right are channels 0 and 1";

        const auto stderrLines = lines(result.err);
        ASSERT_GE(stderrLines.size(), 1u);
        const auto startup = nlohmann::json::parse(stderrLines[0]);
        EXPECT_EQ(startup["sourceSampleRate"], tapRate);
        EXPECT_EQ(startup["sampleRate"], 48000);
        EXPECT_EQ(capture.events(), kFollowingTeardown);
    }
}

TEST(SimulatedCapture, ExcludeAndGlobalSelectTheOtherPlayers) {
    struct Case {
        std::vector<std::string> arguments;
        double present, absent;
    };
    for (const Case& c : {Case{{"--exclude-tree", "--pid", "100"}, 1000, 440},
                          Case{{"--output-loopback", "--bundle-id", "com.b"}, 440, 1000},
                          Case{{"--include-tree", "--bundle-id", "com.b"}, 1000, 440}}) {
        Capture capture(c.arguments, players(48000));
        ASSERT_TRUE(capture.process->waitForStdoutBytes(24000 * 8, 10s));
        capture.process->sendSignal(SIGINT);
        const auto result = capture.process->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
        const std::span<const float> part(left.data(), 24000);
        EXPECT_GT(testing::amplitudeAt(part, 48000, c.present), 0.2);
        EXPECT_LT(testing::amplitudeAt(part, 48000, c.absent), 0.001);
    }
}

// Services that launchd starts for an application (WebKit's media process) are not its
// descendants; the system holds the application responsible for them. Application A (440 Hz) has
// one such service from the start (1000 Hz) and one from 0.5 s (700 Hz) with a child of its own
// (2000 Hz); application B (300 Hz) has services at 1500 Hz and, from 0.5 s, 1200 Hz.
TEST(SimulatedCapture, AServiceJoinsTheApplicationTheSystemHoldsResponsibleForIt) {
    nlohmann::json scenario = players(48000);
    scenario["applications"][1]["frequency"] = 300;
    auto service = [](int pid, int parent, int responsible, int object, double frequency,
                      double startsAfter) {
        nlohmann::json entry = {{"pid", pid},
                                {"parentPid", parent},
                                {"application", false},
                                {"audioObject", object},
                                {"frequency", frequency},
                                {"amplitude", 0.2},
                                {"startsAfter", startsAfter}};
        if (responsible > 0) {
            entry["responsiblePid"] = responsible;
        }
        return entry;
    };
    for (const auto& entry :
         {service(150, 1, 100, 503, 1000, 0), service(160, 1, 100, 504, 700, 0.5),
          service(170, 160, 0, 505, 2000, 0.5), service(250, 1, 200, 506, 1500, 0),
          service(260, 1, 200, 507, 1200, 0.5)}) {
        scenario["applications"].push_back(entry);
    }
    struct Case {
        std::vector<std::string> arguments;
        std::vector<double> early, late;  // the tones heard before and after 0.5 s
    };
    const std::vector<double> all{440, 1000, 700, 2000, 300, 1500, 1200};
    for (const Case& c :
         {Case{{"--include-tree", "--pid", "100"}, {440, 1000}, {440, 1000, 700, 2000}},
          Case{{"--exclude-tree", "--pid", "100"}, {300, 1500}, {300, 1500, 1200}}}) {
        SCOPED_TRACE(c.arguments.front());
        Capture capture(c.arguments, scenario);
        ASSERT_TRUE(capture.process->waitForStdoutBytes(48000 * 8 * 3 / 2, 10s));
        capture.process->sendSignal(SIGTERM);
        const auto result = capture.process->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
        for (const auto& [from, heard] : {std::pair{0.2, c.early}, std::pair{1.2, c.late}}) {
            const std::span<const float> window(left.data() + std::size_t(from * 48000), 4800);
            for (const double frequency : all) {
                const bool wanted = std::count(heard.begin(), heard.end(), frequency) > 0;
                const double level = testing::amplitudeAt(window, 48000, frequency);
                EXPECT_TRUE(wanted ? level > 0.15 : level < 0.001)
                    << frequency << " Hz at " << from << " s: " << level;
            }
        }
    }
}

TEST(SimulatedCapture, DiagnosticsLinesGrowEveryThreeSecondsFromTwo) {
    Capture capture({"--include-tree", "--pid", "100"}, players(44100));
    const auto start = std::chrono::steady_clock::now();
    auto countDiagnostics = [](const std::string& err) {
        const auto all = lines(err);
        return std::count_if(all.begin(), all.end(), [](const std::string& line) {
            return line.find("\"diagnostic\"") != std::string::npos;
        });
    };
    // The first-line deadline is checked loosely: this is about 2 s against 3 s, not a timing test.
    ASSERT_TRUE(capture.process->waitForStderr(
        [&](const std::string& err) { return countDiagnostics(err) >= 1; }, 10s));
    const double first =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(first, 2.9);
    ASSERT_TRUE(capture.process->waitForStderr(
        [&](const std::string& err) { return countDiagnostics(err) >= 2; }, 10s));
    capture.process->sendSignal(SIGTERM);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);

    const auto stderrLines = lines(result.err);
    const auto stats = testing::statsLines(result.err);
    ASSERT_GE(stats.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(stderrLines[0])["success"], true);
    const auto& one = stats[0];
    const auto& two = stats[1];
    for (const char* counter : {"packets", "frames", "writes", "bytes"}) {
        EXPECT_GT(two[counter].get<std::uint64_t>(), one[counter].get<std::uint64_t>()) << counter;
    }
    EXPECT_EQ(two["packets"], two["writes"]);
    EXPECT_EQ(two["bytes"].get<std::uint64_t>(), two["frames"].get<std::uint64_t>() * 8);
    EXPECT_NEAR(two["frames"].get<double>() - one["frames"].get<double>(), 3 * 48000, 0.1 * 48000);
    EXPECT_NEAR(two["peak"].get<double>(), 0.5, 0.01);
    EXPECT_EQ(two["silentPackets"], 0);
    EXPECT_EQ(two["pid"], 100);
    EXPECT_EQ(two["diagnostic"], "capture_stats");
    for (const auto& line : stderrLines) {
        EXPECT_EQ(nlohmann::json::parse(line).contains("error"), false) << line;
    }
    EXPECT_EQ(capture.events(), kFollowingTeardown);
}

TEST(SimulatedCapture, DiagnosticsResumeTheirRhythmAfterTheProcessWasStopped) {
    Capture capture({"--output-loopback"}, {{"applications", nlohmann::json::array()}});
    // When each diagnostics line arrived here: lines written in a burst arrive together.
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    auto watch = [&](std::chrono::steady_clock::duration span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            const auto all = lines(capture.process->err());
            const auto count = std::count_if(all.begin(), all.end(), [](const std::string& line) {
                return line.find("capture_stats") != std::string::npos;
            });
            while (arrivals.size() < static_cast<std::size_t>(count)) {
                arrivals.push_back(std::chrono::steady_clock::now());
            }
            std::this_thread::sleep_for(10ms);
        }
    };
    watch(2500ms);
    capture.process->sendSignal(SIGSTOP);
    std::this_thread::sleep_for(10s);
    capture.process->sendSignal(SIGCONT);
    watch(7s);
    capture.process->sendSignal(SIGTERM);
    EXPECT_EQ(capture.process->wait(10s).exitStatus, 0);

    ASSERT_GE(arrivals.size(), 3u) << "a line before the stop, one on waking and one after";
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 2500ms) << "lines " << i - 1 << " and " << i;
    }
}

TEST(SimulatedCapture, BundleIdentifiersMatchInAnyCanonicalSpelling) {
    // The application's identifier is composed (U+00E9), the argument decomposed (e, U+0301).
    nlohmann::json scenario = players(48000);
    scenario["applications"][0]["bundleId"] = "com.caf\u00e9";
    const std::string decomposed = "com.cafe\xCC\x81";
    for (const auto& [bundleID, found] :
         {std::pair<std::string, bool>{decomposed, true}, {"com.Caf\xC3\xA9", false}}) {
        Capture capture({"--include-tree", "--bundle-id", bundleID}, scenario);
        if (!found) {
            const auto result = capture.process->wait(10s);
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_EQ(result.err, "{\"error\":\"audio_process_not_found\",\"success\":false}\n");
            continue;
        }
        ASSERT_TRUE(capture.process->waitForStdoutBytes(4800 * 8, 10s)) << capture.process->err();
        capture.process->sendSignal(SIGTERM);
        const auto result = capture.process->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
        EXPECT_GT(testing::amplitudeAt(std::span<const float>(left.data(), 4800), 48000, 440), 0.2);
    }
}

TEST(SimulatedCapture, SilenceStillReportsDiagnostics) {
    nlohmann::json scenario = {{"applications", nlohmann::json::array()}};
    Capture capture({"--output-loopback"}, scenario);
    ASSERT_TRUE(capture.process->waitForStderr(
        [](const std::string& err) { return err.find("capture_stats") != std::string::npos; },
        10s));
    capture.process->sendSignal(SIGTERM);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    const auto line = testing::statsLines(result.err).at(0);
    EXPECT_EQ(line["peak"], 0);
    EXPECT_GT(line["packets"].get<int>(), 0) << "silent blocks are delivered like any other";
    EXPECT_EQ(line["silentPackets"], line["packets"]) << "and counted as silent";
}

TEST(SimulatedCapture, LostServerEndsWithOneErrorLineAfterTeardown) {
    nlohmann::json scenario = players(48000);
    scenario["loseServerAfterSeconds"] = 0.5;
    Capture capture({"--output-loopback"}, scenario);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 1);
    const auto stderrLines = lines(result.err);
    ASSERT_EQ(stderrLines.size(), 2u);
    EXPECT_EQ(stderrLines[1], R"({"error":"audio_server_disconnected","success":false})");
    EXPECT_EQ(capture.events(), kTeardown);
}

// A small disk for standard output: a 1 MiB tmpfs where this process may mount one, else a 1 MiB
// file-size limit on the capture (with SIGXFSZ ignored, which the child inherits).
class SmallDisk {
  public:
    SmallDisk() {
        mounted_ = ::mount("tmpfs", directory_.path().c_str(), "tmpfs", 0, "size=1m") == 0;
        if (!mounted_) {
            ::signal(SIGXFSZ, SIG_IGN);
        }
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(directory_.path().c_str(), MNT_DETACH);
        }
    }
    std::string file() const { return directory_.file("capture.f32"); }
    std::vector<std::string> launcher() const {
        return mounted_ ? std::vector<std::string>{}
                        : std::vector<std::string>{"/usr/bin/prlimit", "--fsize=1048576", "--"};
    }
    std::string expectedError() const {
        return std::string("output_write_failed:") + std::strerror(mounted_ ? ENOSPC : EFBIG);
    }

  private:
    TemporaryDirectory directory_;
    bool mounted_ = false;
};

TEST(SimulatedCapture, AFailingStandardOutputEndsTheCaptureWithStatusOne) {
    // Ends in order with the error line; no diagnostics line counts more than `delivered()` bytes.
    auto expectEnded = [](Capture& capture, const std::string& error, auto delivered) {
        const auto result = capture.process->wait(20s);
        EXPECT_EQ(result.exitStatus, 1) << capture.process->describe();
        const auto stderrLines = lines(result.err);
        ASSERT_GE(stderrLines.size(), 2u);
        EXPECT_EQ(stderrLines.back(), R"({"error":")" + error + R"(","success":false})");
        for (const auto& line : stderrLines) {
            EXPECT_LE(nlohmann::json::parse(line).value("bytes", std::uint64_t{0}), delivered());
        }
        EXPECT_EQ(capture.events(), kTeardown);
    };
    Capture full({"--output-loopback"}, players(48000), {.output = testing::Stdout::deviceFull});
    expectEnded(full, "output_write_failed:" + std::string(std::strerror(ENOSPC)),
                [] { return std::uintmax_t{0}; });

    SmallDisk disk;
    Capture filling({"--output-loopback"}, players(48000),
                    {.output = testing::Stdout::file, .outputFile = disk.file()}, disk.launcher());
    // It takes over two seconds of audio to fill the disk, so a diagnostics line comes first.
    expectEnded(filling, disk.expectedError(),
                [&] { return std::filesystem::file_size(disk.file()); });
    EXPECT_GT(std::filesystem::file_size(disk.file()), 700'000u);
}

TEST(SimulatedCapture, SignalBeforeHandlersEndsTheProcessByDefault) {
    // A capture that cannot get past resolution has no handlers yet; a signal sent at start-up
    // either meets the default disposition or the process has already failed on its own.
    Capture capture({"--include-tree", "--pid", "100"}, players(48000));
    capture.process->sendSignal(SIGTERM);
    const auto result = capture.process->wait(10s);
    EXPECT_TRUE(result.deathSignal == SIGTERM || result.exitStatus == 0) << result.err;
    EXPECT_FALSE(result.timedOut);
}

// A device that delivers a 1000 Hz tone for `seconds` of its clock, whatever the tap's format says.
nlohmann::json toneDevice(double seconds, double deviceRate, std::uint32_t channels) {
    nlohmann::json scenario = players(48000);
    scenario["applications"][0]["frequency"] = 1000;
    scenario["format"] = {{"sampleRate", 48000}, {"channels", channels}};
    scenario["deviceRate"] = deviceRate;
    scenario["framesPerCallback"] = 512;
    scenario["deliverSeconds"] = seconds;
    return scenario;
}

// Runs a capture until the device has delivered everything, then ends it.
testing::ProcessResult captureAll(Capture& capture, double seconds) {
    EXPECT_TRUE(capture.process->waitForStdoutBytes(std::size_t(seconds * 48000 * 8 * 0.99), 20s));
    std::this_thread::sleep_for(1s);
    capture.process->sendSignal(SIGTERM);
    return capture.process->wait(10s);
}

double frequencyBetween(const std::vector<float>& left, double from, double to) {
    const std::span<const float> part(left.data() + std::size_t(from * 48000),
                                      std::size_t((to - from) * 48000));
    return testing::dominantFrequency(part, 48000, 400, 1500);
}

// The longest run of exact zeros: a gap in a tone that never rests on zero.
std::size_t longestGap(const std::vector<float>& left) {
    std::size_t longest = 0, run = 0;
    for (float sample : left) {
        run = sample == 0.0f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

std::vector<nlohmann::json> sourceFormatLines(const std::string& err) {
    std::vector<nlohmann::json> found;
    for (const auto& line : lines(err)) {
        if (line.find("\"source_format\"") != std::string::npos) {
            found.push_back(nlohmann::json::parse(line));
        }
    }
    return found;
}

TEST(SimulatedCapture, TheDeviceRateWinsOverTheTapFormat) {
    struct Case {
        double rate;
        std::uint32_t channels;
    };
    for (const Case& c : {Case{44100, 2}, Case{96000, 2}, Case{24000, 1}}) {
        SCOPED_TRACE(c.rate);
        Capture capture({"--include-tree", "--pid", "100"}, toneDevice(1.5, c.rate, c.channels));
        const auto result = captureAll(capture, 1.5);
        EXPECT_EQ(result.exitStatus, 0);
        const auto samples = testing::floatsFromBytes(result.out);
        // The device ends with the cycle that passes 1.5 s of its clock.
        const double elapsed = std::ceil(1.5 * c.rate / 512) * 512 / c.rate;
        EXPECT_NEAR(samples.size() / 2.0, elapsed * 48000, elapsed * 48000 * 0.005) << "length";
        const auto left = testing::channel(samples, 0);
        ASSERT_GE(left.size(), 72000u * 0.99);
        EXPECT_NEAR(frequencyBetween(left, 0.2, 1.4), 1000, 1.0);
        if (c.channels == 1) {
            EXPECT_EQ(left[4321], testing::channel(samples, 1)[4321]) << "mono on both sides";
        }
        EXPECT_EQ(nlohmann::json::parse(lines(result.err).at(0))["sourceSampleRate"], c.rate);
        EXPECT_TRUE(sourceFormatLines(result.err).empty());
    }
}

// Cycles the device ran but the capture never got (a stalled graph) come out as silence, so the
// stream keeps the device's time; the silent blocks are counted.
TEST(SimulatedCapture, AStallIsFilledWithSilenceToKeepTheDevicesTime) {
    nlohmann::json scenario = toneDevice(3.0, 48000, 2);
    scenario["stalls"] = {{1.0, 1.0}};
    Capture capture({"--include-tree", "--pid", "100"}, scenario);
    // The second diagnostics line, at 5 s, comes after everything was delivered.
    ASSERT_TRUE(capture.process->waitForStderr(
        [](const std::string& err) {
            return err.find("capture_stats") != err.rfind("capture_stats");
        },
        20s));
    capture.process->sendSignal(SIGTERM);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
    EXPECT_NEAR(left.size() / 48000.0, 3.0, 3.0 * 0.005);
    ASSERT_GT(left.size(), 2.9 * 48000);
    EXPECT_NEAR(frequencyBetween(left, 0.1, 0.9), 1000, 1.0);
    EXPECT_NEAR(frequencyBetween(left, 2.1, 2.9), 1000, 1.0) << "after the stall, on time";
    EXPECT_NEAR(longestGap(left), 48000, 1024) << "the stall's second, as silence";
    const auto last = testing::statsLines(result.err).back();
    EXPECT_EQ(last["silentPackets"], 12) << "a second of 4096-frame silent blocks";
    EXPECT_GT(last["hostTimeNs"].get<std::uint64_t>(), 0u);
    EXPECT_GT(last["hostTimeFrame"].get<std::uint64_t>(), 48000u);
}

// A host that stops reading for two seconds loses nothing, whether standard output is a pipe or
// a socket pair; one that stops for longer than the backlog holds gets the missing frames as
// silence, counted, and the stream keeps its length.
TEST(SimulatedCapture, AHostThatStopsReadingLosesNoTime) {
    struct Case {
        testing::Stdout output;
        double pause;
        bool lossless;
    };
    for (const Case& c :
         {Case{testing::Stdout::captured, 2.0, true}, Case{testing::Stdout::socketPair, 2.0, true},
          Case{testing::Stdout::socketPair, 5.0, false}}) {
        SCOPED_TRACE(c.pause);
        const double seconds = c.pause + 2.0;
        Capture capture({"--include-tree", "--pid", "100"}, toneDevice(seconds, 48000, 2),
                        testing::SpawnOptions{.output = c.output});
        ASSERT_TRUE(capture.process->waitForStdoutBytes(48000 * 8 / 2, 20s));
        capture.process->pauseStdout(true);
        std::this_thread::sleep_for(std::chrono::duration<double>(c.pause));
        capture.process->pauseStdout(false);
        const auto result = captureAll(capture, seconds);
        EXPECT_EQ(result.exitStatus, 0);
        const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
        const double elapsed = std::ceil(seconds * 48000 / 512) * 512 / 48000;
        EXPECT_NEAR(left.size() / 48000.0, elapsed, 0.005) << "as long as the device ran";
        const auto last = testing::statsLines(result.err).back();
        if (c.lossless) {
            EXPECT_LE(longestGap(left), 2u);
            EXPECT_EQ(last["droppedFrames"], 0);
        } else {
            EXPECT_GT(longestGap(left), 48000u / 2) << "the overflow, as silence";
            EXPECT_GT(last["droppedFrames"].get<std::uint64_t>(), 48000u / 2);
        }
    }
}

TEST(SimulatedCapture, RateChangesAreFollowedAnnouncedOrNot) {
    // 48000 for 1.5 s, then 24000 mono (announced), then from 3 s 44100 mono that nothing
    // announces: only the cycles' clocks tell, within a second and a half.
    nlohmann::json scenario = toneDevice(5.0, 48000, 2);
    scenario["rateChanges"] = {
        {{"afterSeconds", 1.5}, {"rate", 24000}, {"channels", 1}, {"announced", true}},
        {{"afterSeconds", 3.0}, {"rate", 44100}, {"announced", false}}};
    Capture capture({"--include-tree", "--pid", "100"}, scenario);
    const auto result = captureAll(capture, 5.0);
    EXPECT_EQ(result.exitStatus, 0);
    const auto left = testing::channel(testing::floatsFromBytes(result.out), 0);
    const double seconds = left.size() / 48000.0;
    // The unannounced span was taken as 24000: each of its device seconds stretched by 44100/24000.
    const double wrongSpan = 1.5 * (44100.0 / 24000.0 - 1.0);
    EXPECT_GE(seconds, 5.0 * 0.995);
    EXPECT_LE(seconds, (5.0 + wrongSpan) * 1.005);
    ASSERT_GT(seconds, 4.0);
    EXPECT_NEAR(frequencyBetween(left, 0.1, 1.4), 1000, 1.0) << "before the changes";
    EXPECT_NEAR(frequencyBetween(left, 1.55, 2.95), 1000, 1.0) << "from the announced change on";
    const double detected = 3.0 + 1.5 * 44100.0 / 24000.0;  // at the latest, in output seconds
    EXPECT_NEAR(frequencyBetween(left, detected, seconds), 1000, 1.0) << "after the measured one";
    EXPECT_LE(longestGap(left), 512u);

    const auto changes = sourceFormatLines(result.err);
    ASSERT_EQ(changes.size(), 2u) << result.err;
    EXPECT_EQ(changes[0].dump(),
              R"({"event":"source_format","sourceChannels":1,"sourceSampleRate":24000})");
    EXPECT_EQ(changes[1].dump(),
              R"({"event":"source_format","sourceChannels":1,"sourceSampleRate":44100})");
}

// Waits until the state lines (see testing::stateHistory) are `expected`, then ends the capture.
testing::ProcessResult captureUntilStates(Capture& capture,
                                          const std::vector<std::string>& expected) {
    const bool reached = capture.process->waitForStderr(
        [&](const std::string& err) {
            return testing::stateHistory(err).size() >= expected.size();
        },
        30s);
    EXPECT_TRUE(reached) << capture.process->err();
    std::this_thread::sleep_for(500ms);
    capture.process->sendSignal(SIGTERM);
    auto result = capture.process->wait(10s);
    EXPECT_EQ(testing::stateHistory(result.err), expected) << result.err;
    return result;
}

// Each state comes from the platform behaviour behind it and clears when that behaviour ends: a
// second and a half without callbacks, exact zeros while the player says it plays, the player
// falling quiet.
TEST(SimulatedCapture, AudioStateLinesFollowWhatThePlatformDoes) {
    nlohmann::json scenario = players(48000);
    scenario["applications"][0]["playsUntil"] = 9.5;
    scenario["stalls"] = {{0.5, 1.3}};
    scenario["zeroSpans"] = {{4.5, 2.5}};
    Capture capture({"--include-tree", "--pid", "100"}, scenario);
    const auto result = captureUntilStates(
        capture, {"stalled/no_callbacks", "flowing/audio_arrives", "silent/zeros_while_playing",
                  "flowing/audio_arrives", "silent/sources_not_playing"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(testing::stateLines(result.err).front().dump(),
              R"({"composition":"tap_main_and_clock","event":"audio_state",)"
              R"("reason":"no_callbacks","state":"stalled"})");
    EXPECT_EQ(capture.events(), kFollowingTeardown) << "nothing was rebuilt";
}

// A device built as first described that brings nothing, or exact zeros while its player plays and
// the tap may capture, is built once more without the main sub-device and clock keys; a tap that
// refuses its own description (no permission) says so instead.
TEST(SimulatedCapture, TheDeviceCompositionFallsBackOnceWhenTheFirstBringsNothing) {
    struct Case {
        nlohmann::json change;
        std::vector<std::string> states;
        std::string composition;
    };
    for (const Case& c : {
             Case{{{"compositionFault", "no_callbacks"}},
                  {"stalled/no_callbacks", "stalled/no_callbacks+rebuild", "flowing/audio_arrives"},
                  "tap_only"},
             Case{{{"compositionFault", "zeros"}},
                  {"silent/zeros_while_playing+rebuild", "flowing/audio_arrives"},
                  "tap_only"},
             Case{{{"zeroSpans", {{0, 60}}}, {"failures", {{"setTapDescription", -1}}}},
                  {"silent/permission_denied"},
                  "tap_main_and_clock"},
         }) {
        SCOPED_TRACE(c.change.dump());
        nlohmann::json scenario = players(48000);
        scenario.update(c.change);
        Capture capture({"--output-loopback"}, scenario);
        const auto result = captureUntilStates(capture, c.states);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(testing::stateLines(result.err).back()["composition"], c.composition);
        const std::size_t chains = c.composition == "tap_only" ? 2 : 1;
        EXPECT_EQ(capture.events().size(), chains * kTeardown.size());
    }
}

// A device that dies, or an audio service that restarts, gets a new chain: the old one is released
// and the same one made again (the process-list listener too, after a restart, which forgets every
// listener). The output keeps the device's time across the gap, and nothing outlives the capture.
TEST(SimulatedCapture, ALostDeviceIsRebuiltAndKeepsTheDevicesTime) {
    const std::vector<std::string> first{"create tap 1000", "create device 1001",
                                         "create ioproc 1002", "start device 1001",
                                         "add process listener 1"};
    const std::vector<std::string> release{"stop device 1001", "destroy ioproc 1002",
                                           "destroy device 1001", "destroy tap 1000"};
    const std::vector<std::string> second{"create tap 1003", "create device 1004",
                                          "create ioproc 1005", "start device 1004"};
    const std::vector<std::string> end{"stop device 1004", "destroy ioproc 1005",
                                       "destroy device 1004", "destroy tap 1003"};
    for (const bool restart : {true, false}) {
        SCOPED_TRACE(restart);
        nlohmann::json scenario = players(48000);
        scenario[restart ? "serviceRestartAfterSeconds" : "deviceDiesAfterSeconds"] = 3.0;
        Capture capture({"--include-tree", "--pid", "100"}, scenario);
        // Diagnostics lines at 2 s and 5 s, the rebuild between them.
        ASSERT_TRUE(capture.process->waitForStderr(
            [](const std::string& err) { return testing::statsLines(err).size() >= 2; }, 20s));
        const auto result = captureUntilStates(
            capture, {"flowing/audio_arrives",
                      std::string(restart ? "stalled/service_restarted" : "stalled/device_lost") +
                          "+rebuild",
                      "flowing/audio_arrives"});
        EXPECT_EQ(result.exitStatus, 0);
        const auto stats = testing::statsLines(result.err);
        EXPECT_NEAR(stats[1]["frames"].get<double>() - stats[0]["frames"].get<double>(), 3 * 48000,
                    3 * 48000 * 0.02)
            << "three seconds, the gap filled with silence";
        std::vector<std::string> expected = first;
        expected.push_back(restart ? "service restarts 1001" : "device dies 1001");
        if (restart) {
            expected.push_back("remove process listener 1");
        }
        expected.insert(expected.end(), release.begin(), release.end());
        expected.insert(expected.end(), second.begin(), second.end());
        expected.push_back(restart ? "add process listener 2" : "remove process listener 1");
        if (restart) {
            expected.push_back("remove process listener 2");
        }
        expected.insert(expected.end(), end.begin(), end.end());
        EXPECT_EQ(capture.events(), expected);
    }
}

// A device that stops calling is rebuilt every two seconds of silence, three times a minute at
// most; a rebuilt device that brings nothing leaves the state "stalled".
TEST(SimulatedCapture, RebuildsThatBringNothingStopAtThreeAMinute) {
    nlohmann::json scenario = players(48000);
    scenario["deliverSeconds"] = 0.5;  // whichever device runs then
    Capture capture({"--output-loopback"}, scenario);
    const std::vector<std::string> expected{"stalled/no_callbacks", "stalled/no_callbacks+rebuild",
                                            "stalled/no_callbacks+rebuild",
                                            "stalled/no_callbacks+rebuild"};
    ASSERT_TRUE(capture.process->waitForStderr(
        [&](const std::string& err) { return testing::stateHistory(err).size() >= 4; }, 20s));
    std::this_thread::sleep_for(3s);  // longer than the two seconds a fourth would come after
    capture.process->sendSignal(SIGTERM);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(testing::stateHistory(result.err), expected) << result.err;
    EXPECT_EQ(testing::stateLines(result.err).back()["rebuild"], 3);
    EXPECT_EQ(capture.events().size(), 4 * kTeardown.size()) << "four chains, all released";
}

// A rebuild whose step fails ends the capture with that step's error line and status 1, after the
// teardown of what it had made.
TEST(SimulatedCapture, AFailingRebuildEndsTheCaptureWithItsStepsError) {
    nlohmann::json scenario = players(48000);
    scenario["deviceDiesAfterSeconds"] = 0.5;
    scenario["rebuildFailures"] = nlohmann::json::object({{"createAggregateDevice", -4}});
    Capture capture({"--output-loopback"}, scenario);
    const auto result = capture.process->wait(10s);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(testing::stateHistory(result.err),
              std::vector<std::string>{"stalled/device_lost+rebuild"});
    EXPECT_EQ(lines(result.err).back(),
              R"({"error":"create_aggregate_device:-4","success":false})");
    EXPECT_EQ(capture.events(), (std::vector<std::string>{
                                    "create tap 1000", "create device 1001", "create ioproc 1002",
                                    "start device 1001", "device dies 1001", "stop device 1001",
                                    "destroy ioproc 1002", "destroy device 1001",
                                    "destroy tap 1000", "create tap 1003", "destroy tap 1003"}));
}

}  // namespace
}  // namespace qor
