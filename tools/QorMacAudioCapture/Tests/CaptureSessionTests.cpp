#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "AudioAnalysis.h"
#include "CoreAudioTapCapture.h"
#include "RecordingSink.h"
#include "SimulatedPlatform.h"

namespace qor {
namespace {

using simulated::Application;
using simulated::Scenario;
using simulated::SimulatedPlatform;

Application app(std::int32_t pid, std::string bundle, AudioObjectID object,
                double frequency = 440) {
    Application application;
    application.pid = pid;
    application.bundleIdentifier = std::move(bundle);
    application.localizedName = "App " + std::to_string(pid);
    application.audioObject = object;
    application.toneFrequency = frequency;
    return application;
}

Scenario twoPlayers() {
    Scenario scenario;
    scenario.applications = {app(100, "com.a", 501, 440), app(200, "com.b", 502, 1000)};
    return scenario;
}

CLIOptions options(CaptureSelection selection, std::int32_t pid = 0,
                   std::vector<std::string> bundles = {}, std::vector<std::string> excluded = {}) {
    CLIOptions result;
    result.selection = selection;
    result.pid = pid;
    result.bundleIDs = std::move(bundles);
    result.excludedBundleIDs = std::move(excluded);
    return result;
}

struct Session {
    explicit Session(Scenario scenario, CLIOptions cli = options(CaptureSelection::include, 100))
        : platform(std::move(scenario)), sink(std::make_shared<testing::RecordingSink>()) {
        auto view = platform.platform();
        capture = CoreAudioTapCapture::create(std::move(cli), sink, view);
    }
    // What the entry does: run, then stop whatever happened; the error text if run failed.
    std::string runAndStop() {
        std::string failure;
        try {
            capture->run();
        } catch (const HelperError& error) {
            failure = error.description();
        }
        capture->stop();
        return failure;
    }
    SimulatedPlatform platform;
    std::shared_ptr<testing::RecordingSink> sink;
    std::shared_ptr<CoreAudioTapCapture> capture;
};

std::thread signalLater(int signal, std::chrono::milliseconds delay) {
    return std::thread([=] {
        std::this_thread::sleep_for(delay);
        ::kill(::getpid(), signal);
    });
}

TEST(TapDescription, IncludeMixesTheResolvedProcessesSortedAndUnique) {
    Scenario scenario = twoPlayers();
    scenario.applications.push_back(app(300, "com.a", 400));
    Session session(scenario, options(CaptureSelection::include, 100, {"com.a"}, {"com.b"}));
    const TapDescription tap = session.capture->makeTapDescription();
    EXPECT_EQ(tap.kind, TapDescription::Kind::stereoMixdownOfProcesses);
    EXPECT_EQ(tap.processes, (std::vector<AudioObjectID>{400, 501, 502}));
    EXPECT_TRUE(tap.isPrivate);
    EXPECT_EQ(tap.muteBehavior, 0);
    EXPECT_TRUE(std::regex_match(tap.name, std::regex("QOR Native Audio [0-9A-F]{8}-[0-9A-F]{4}-"
                                                      "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << tap.name;
    EXPECT_NE(session.capture->makeTapDescription().name, tap.name);
}

TEST(TapDescription, IncludeFailures) {
    Scenario scenario = twoPlayers();
    scenario.applications.push_back(app(300, "com.silent", 0));
    Application failing = app(400, "com.fail", 0);
    failing.translateStatus = -10851;
    scenario.applications.push_back(failing);
    auto failureOf = [&](CLIOptions cli) {
        Session session(scenario, std::move(cli));
        try {
            session.capture->makeTapDescription();
        } catch (const HelperError& error) {
            return error.description();
        }
        return std::string("none");
    };
    EXPECT_EQ(failureOf(options(CaptureSelection::include, 0, {"com.unknown"})),
              "audio_process_not_found");
    EXPECT_EQ(failureOf(options(CaptureSelection::include, 300, {"com.a"})),
              "audio_process_not_found");
    EXPECT_EQ(failureOf(options(CaptureSelection::include, 400, {"com.a"})),
              "translate_pid_to_audio_process:-10851");
}

TEST(TapDescription, GlobalAndExcludeNeverFailOnResolution) {
    Scenario scenario = twoPlayers();
    scenario.applications.push_back(app(300, "com.silent", 0));
    {
        Session session(scenario, options(CaptureSelection::exclude, 300, {}, {"com.b"}));
        const TapDescription tap = session.capture->makeTapDescription();
        EXPECT_EQ(tap.kind, TapDescription::Kind::stereoGlobalTapButExcludeProcesses);
        EXPECT_EQ(tap.processes, (std::vector<AudioObjectID>{502}));
    }
    {
        Session session(scenario, options(CaptureSelection::globalOutput, 100));
        EXPECT_EQ(session.capture->makeTapDescription().processes,
                  (std::vector<AudioObjectID>{501}));
    }
    {
        Session session(scenario, options(CaptureSelection::globalOutput));
        EXPECT_TRUE(session.capture->makeTapDescription().processes.empty());
    }
}

// A chosen process stands for its descendants, even when it plays nothing itself.
TEST(TapDescription, AChosenProcessBringsItsDescendants) {
    Scenario scenario = twoPlayers();
    Application parent = app(300, "com.parent", 0);
    Application helper = app(310, "", 503, 700);
    helper.application = false;
    helper.parentPid = 300;
    Application grandchild = app(320, "", 504, 800);
    grandchild.application = false;
    grandchild.parentPid = 310;
    Application silentParent = app(400, "com.quiet", 0);
    for (Application* entry : {&parent, &helper, &grandchild, &silentParent}) {
        scenario.applications.push_back(*entry);
    }
    auto processesOf = [&](CLIOptions cli) {
        Session session(scenario, std::move(cli));
        try {
            std::string list;
            for (AudioObjectID object : session.capture->makeTapDescription().processes) {
                list += (list.empty() ? "" : ",") + std::to_string(object);
            }
            return list;
        } catch (const HelperError& error) {
            return error.description();
        }
    };
    EXPECT_EQ(processesOf(options(CaptureSelection::include, 300)), "503,504");
    EXPECT_EQ(processesOf(options(CaptureSelection::include, 0, {"com.parent", "com.a"})),
              "501,503,504");
    EXPECT_EQ(processesOf(options(CaptureSelection::exclude, 300)), "503,504");
    EXPECT_EQ(processesOf(options(CaptureSelection::include, 400)), "audio_process_not_found");
    EXPECT_EQ(processesOf(options(CaptureSelection::include, 310)), "503,504");
}

// The tap follows the tree while it runs: a descendant that starts joins, one that ends leaves,
// and one whose parent exits stays. Each change is one update of the same tap.
TEST(CaptureSession, TheTapFollowsTheTreeWhileItRuns) {
    Scenario scenario;
    Application parent = app(100, "com.a", 501, 440);
    Application child = app(300, "", 503, 1000);
    child.parentPid = 100;
    child.startsAfter = 0.3;
    child.endsAfter = 0.9;
    Application middle = app(350, "", 0);
    middle.parentPid = 100;
    middle.startsAfter = 0.3;
    middle.endsAfter = 0.6;
    Application grandchild = app(400, "", 504, 1500);
    grandchild.parentPid = 350;
    grandchild.startsAfter = 0.5;
    for (Application* entry : {&child, &middle, &grandchild}) {
        entry->application = false;
    }
    scenario.applications = {parent, child, middle, grandchild, app(200, "com.b", 502, 700)};
    Session session(scenario);
    std::thread stopper = signalLater(SIGTERM, std::chrono::milliseconds(1500));
    EXPECT_EQ(session.runAndStop(), "");
    stopper.join();
    EXPECT_EQ(session.platform.events(),
              (std::vector<std::string>{
                  "create tap 1000", "create device 1001", "create ioproc 1002",
                  "start device 1001", "add process listener 1", "process 300 starts",
                  "process 350 starts", "update tap 1000 [501,503]", "process 400 starts",
                  "update tap 1000 [501,503,504]", "process 350 ends", "process 300 ends",
                  "update tap 1000 [501,504]", "remove process listener 1", "stop device 1001",
                  "destroy ioproc 1002", "destroy device 1001", "destroy tap 1000"}));
    EXPECT_EQ(session.platform.liveObjects(), 0u);

    std::vector<float> stereo;
    for (const auto& block : session.sink->blocks()) {
        stereo.insert(stereo.end(), block.begin(), block.end());
    }
    const auto left = testing::channel(stereo, 0);
    ASSERT_GE(left.size(), 48000u * 6 / 5);
    auto level = [&](double from, double frequency) {
        const std::span<const float> window(left.data() + std::size_t(from * 48000), 4800);
        return testing::amplitudeAt(window, 48000, frequency);
    };
    EXPECT_NEAR(level(0.1, 440), 0.5, 0.02);
    EXPECT_LT(level(0.1, 1000), 0.01) << "the child has not started yet";
    EXPECT_NEAR(level(0.7, 1000), 0.5, 0.02);
    EXPECT_NEAR(level(0.7, 1500), 0.5, 0.02);
    EXPECT_LT(level(1.05, 1000), 0.01) << "the child has ended";
    EXPECT_NEAR(level(1.05, 1500), 0.5, 0.02) << "re-parented, still in the tree";
    EXPECT_LT(level(1.05, 700), 0.01) << "not in the tree";
}

TEST(CaptureSession, AggregateDeviceWrapsTheTapAlone) {
    Session session(twoPlayers());
    std::thread stopper = signalLater(SIGTERM, std::chrono::milliseconds(200));
    EXPECT_EQ(session.runAndStop(), "");
    stopper.join();
    const auto devices = session.platform.aggregateDescriptions();
    ASSERT_EQ(devices.size(), 1u);
    const auto& device = devices[0];
    EXPECT_EQ(device.name, "QOR Native Audio");
    EXPECT_TRUE(std::regex_match(device.uid, std::regex("com\\.brinvale\\.qor\\.native-audio\\."
                                                        "aggregate\\.[0-9A-F-]{36}")));
    EXPECT_EQ(device.mainSubDevice, device.clockDevice);
    ASSERT_EQ(device.taps.size(), 1u);
    EXPECT_EQ(device.taps[0].uid, device.mainSubDevice);
    EXPECT_TRUE(device.taps[0].driftCompensation);
    EXPECT_TRUE(device.isPrivate);
    EXPECT_FALSE(device.isStacked);
    const std::string tapUUID = session.platform.tapDescriptions().at(0).name.substr(17);
    EXPECT_EQ(device.uid.find(tapUUID), std::string::npos);
}

TEST(CaptureSession, SignalStopsInReverseOrderAndClosesTheSinkTwice) {
    for (int signal : {SIGTERM, SIGINT}) {
        Session session(twoPlayers());
        std::thread stopper = signalLater(signal, std::chrono::milliseconds(400));
        EXPECT_EQ(session.runAndStop(), "");
        stopper.join();
        EXPECT_EQ(session.sink->closes(), 2);
        EXPECT_EQ(session.platform.liveObjects(), 0u);
        // The entry's second stop releases nothing more.
        EXPECT_EQ(
            session.platform.events(),
            (std::vector<std::string>{
                "create tap 1000", "create device 1001", "create ioproc 1002", "start device 1001",
                "add process listener 1", "remove process listener 1", "stop device 1001",
                "destroy ioproc 1002", "destroy device 1001", "destroy tap 1000"}));
        EXPECT_FALSE(session.sink->blocks().empty());
    }
}

TEST(CaptureSession, SecondSignalOnlyClosesTheSinkAgain) {
    Session session(twoPlayers());
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), SIGTERM);
        ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(session.runAndStop(), "");
    stopper.join();
    // Both signals may or may not reach the loop before it ends; each stop closes once more.
    EXPECT_GE(session.sink->closes(), 2);
    EXPECT_EQ(session.platform.liveObjects(), 0u);
}

TEST(CaptureSession, EachFailingStepReleasesExactlyWhatExists) {
    struct Case {
        const char* operation;
        std::string error;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases{
        {"createProcessTap", "create_process_tap:-1", {}},
        {"readTapUID", "read_tap_uid:-2", {"create tap 1000", "destroy tap 1000"}},
        {"readTapFormat", "read_tap_format:-3", {"create tap 1000", "destroy tap 1000"}},
        {"createAggregateDevice",
         "create_aggregate_device:-4",
         {"create tap 1000", "destroy tap 1000"}},
        {"createIOProc",
         "create_io_proc:-5",
         {"create tap 1000", "create device 1001", "stop device 1001", "destroy device 1001",
          "destroy tap 1000"}},
        {"deviceStart",
         "start_aggregate_device:-6",
         {"create tap 1000", "create device 1001", "create ioproc 1002", "stop device 1001",
          "destroy ioproc 1002", "destroy device 1001", "destroy tap 1000"}},
    };
    OSStatus status = -1;
    for (const Case& c : cases) {
        Scenario scenario = twoPlayers();
        scenario.failures[c.operation] = status--;
        Session session(scenario);
        EXPECT_EQ(session.runAndStop(), c.error);
        EXPECT_EQ(session.platform.events(), c.events) << c.operation;
        EXPECT_EQ(session.platform.liveObjects(), 0u);
        EXPECT_EQ(session.sink->closes(), 1);
    }
}

TEST(CaptureSession, UnsupportedFormatsAreRefusedAfterTheTap) {
    for (auto [formatID, bits, isFloat] :
         {std::tuple{fourCharCode("lpcm"), 16u, false}, std::tuple{fourCharCode("lpcm"), 64u, true},
          std::tuple{fourCharCode("aac "), 32u, true}}) {
        Scenario scenario = twoPlayers();
        scenario.format.mFormatID = formatID;
        scenario.format.mBitsPerChannel = bits;
        scenario.format.mFormatFlags = isFloat ? kAudioFormatFlagIsFloat : 0;
        Session session(scenario);
        EXPECT_EQ(session.runAndStop(), "unsupported_tap_audio_format");
        EXPECT_EQ(session.platform.events(),
                  (std::vector<std::string>{"create tap 1000", "destroy tap 1000"}));
    }
}

TEST(CaptureSession, ResolutionFailureCreatesNothing) {
    Session session(twoPlayers(), options(CaptureSelection::include, 0, {"com.nobody"}));
    EXPECT_EQ(session.runAndStop(), "audio_process_not_found");
    EXPECT_TRUE(session.platform.events().empty());
    EXPECT_EQ(session.sink->closes(), 1);
}

TEST(CaptureSession, LostServerFailsAfterTheLoopEnds) {
    Scenario scenario = twoPlayers();
    scenario.loseServerAfterSeconds = 0.3;
    Session session(scenario);
    EXPECT_EQ(session.runAndStop(), "audio_server_disconnected");
    EXPECT_EQ(session.platform.liveObjects(), 0u);
}

TEST(CaptureSession, StopBeforeRunOnlyClosesTheSink) {
    Session session(twoPlayers());
    session.capture->stop();
    session.capture->stop();
    EXPECT_TRUE(session.platform.events().empty());
    EXPECT_EQ(session.sink->closes(), 2);
}

TEST(CaptureSession, StartupAndDiagnosticsLines) {
    Scenario scenario = twoPlayers();
    scenario.format.mSampleRate = 44100;
    Session session(scenario, options(CaptureSelection::include, 1234, {"com.a"}));
    EXPECT_EQ(session.runAndStop(), "audio_process_not_found") << "pid 1234 is unknown";

    Session included(scenario, options(CaptureSelection::include, 100));
    std::thread stopper = signalLater(SIGTERM, std::chrono::milliseconds(100));
    included.runAndStop();
    stopper.join();
    EXPECT_EQ(Diagnostics::serialize(included.capture->startupLine()).value(),
              R"({"channels":2,"format":"float32le","mode":0,"pid":100,"sampleRate":48000,)"
              R"("source":"process_loopback","sourceSampleRate":44100,"success":true,)"
              R"("transport":"recording"})");

    Session excluded(twoPlayers(), options(CaptureSelection::exclude, 1234));
    JSON line = excluded.capture->diagnosticsLine();
    EXPECT_EQ(Diagnostics::serialize(line).value(),
              R"({"bytes":0,"diagnostic":"capture_stats","droppedFrames":0,"frames":0,)"
              R"("hostTimeFrame":0,"hostTimeNs":0,"mode":1,"packets":0,"peak":0,"pid":1234,)"
              R"("silentPackets":0,"source":"process_loopback","writes":0})");
    Session global(twoPlayers(), options(CaptureSelection::globalOutput));
    EXPECT_EQ(global.capture->startupLine()["source"], "output_loopback");
    EXPECT_EQ(global.capture->diagnosticsLine()["mode"], 0);
}

}  // namespace
}  // namespace qor
