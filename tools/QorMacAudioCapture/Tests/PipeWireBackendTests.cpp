// The PipeWire backend's platform operations against a real private PipeWire server, with pw-cat
// copies as players and pw-dump as the witness of what exists on the server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>

#include "AudioAnalysis.h"
#include "IOQueue.h"
#include "PipeWireConnection.h"
#include "PipeWirePlatform.h"
#include "PipeWireTestSupport.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using pipewire::PipeWirePlatform;
using testing::DisposableAudioServer;
using testing::TonePlayer;

TapDescription mixdownOf(std::vector<AudioObjectID> processes, std::string name) {
    TapDescription description;
    description.kind = TapDescription::Kind::stereoMixdownOfProcesses;
    description.processes = std::move(processes);
    description.name = std::move(name);
    return description;
}

AggregateDeviceDescription deviceAround(const std::string& tapUID) {
    AggregateDeviceDescription description;
    description.name = "test device";
    description.uid = "test.device";
    description.mainSubDevice = tapUID;
    description.clockDevice = tapUID;
    description.taps = {{tapUID, true}};
    return description;
}

// What the I/O block saw: the samples, and whether every call came on the queue's thread.
struct Delivery {
    std::mutex mutex;
    std::condition_variable grown;
    std::vector<float> samples;
    bool everyCallOnQueue = true;
    bool clocksAdvance = true;  // every cycle came with valid clocks, never going back
    IOCycleTime lastTime;
    std::atomic<int> lostCalls{0};

    IOBlock block(IOQueue& queue) {
        return [this, &queue](const AudioBufferList& input, const IOCycleTime& time) {
            std::lock_guard guard(mutex);
            everyCallOnQueue = everyCallOnQueue && queue.isCurrentThread();
            clocksAdvance = clocksAdvance && time.sampleTimeValid && time.hostTimeValid &&
                            time.sampleTime >= lastTime.sampleTime &&
                            time.hostTimeNs >= lastTime.hostTimeNs;
            lastTime = time;
            // One buffer per channel: interleave them as the core does.
            EXPECT_EQ(input.mNumberBuffers, 2u);
            const auto* left = static_cast<const float*>(input.mBuffers[0].mData);
            const auto* right = static_cast<const float*>(input.mBuffers[1].mData);
            const std::size_t frames = input.mBuffers[0].mDataByteSize / 4;
            EXPECT_EQ(input.mBuffers[1].mDataByteSize / 4, frames);
            for (std::size_t k = 0; k < frames; ++k) {
                samples.push_back(left[k]);
                samples.push_back(right[k]);
            }
            grown.notify_all();
        };
    }
    DeviceLostHandler lost() {
        return [this] { ++lostCalls; };
    }
    bool waitForFrames(std::size_t frames, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return grown.wait_for(lock, timeout, [&] { return samples.size() >= 2 * frames; });
    }
    std::vector<float> copy() {
        std::lock_guard guard(mutex);
        return samples;
    }
};

// A running capture through the backend's operations, in the core's order.
struct Capture {
    AudioHardware& hardware;
    AudioObjectID tap = 0;
    AudioObjectID device = 0;
    IOProcID proc = 0;

    OSStatus start(const TapDescription& description, IOQueue& queue, Delivery& delivery) {
        if (OSStatus status = hardware.createProcessTap(description, tap); status != 0) {
            return status;
        }
        std::string uid;
        hardware.readTapUID(tap, uid);
        if (OSStatus status = hardware.createAggregateDevice(deviceAround(uid), device);
            status != 0) {
            return status;
        }
        if (OSStatus status = hardware.createIOProcIDWithBlock(device, queue, delivery.block(queue),
                                                               delivery.lost(), proc);
            status != 0) {
            return status;
        }
        return hardware.deviceStart(device, proc);
    }
    void stop() {
        hardware.deviceStop(device, proc);
        hardware.destroyIOProcID(device, proc);
        hardware.destroyAggregateDevice(device);
        hardware.destroyProcessTap(tap);
    }
};

// A capture of all output on a platform of its own, delivered on a queue of its own.
struct GlobalCapture {
    explicit GlobalCapture(const char* queueName) : queue(queueName) {}
    OSStatus start() { return capture.start(TapDescription{}, queue, delivery); }

    PipeWirePlatform platform;
    IOQueue queue;
    Delivery delivery;
    Capture capture{platform.platform().hardware};
};

AudioObjectID processObject(AudioHardware& hardware, int pid) {
    AudioObjectID object = 0;
    EXPECT_EQ(hardware.translatePIDToProcessObject(pid, object), 0);
    return object;
}

TEST(PipeWireBackend, APidTranslatesToItsClientAndANonClientToZero) {
    TonePlayer player("qor-backend-pid", 440);
    PipeWirePlatform platform;
    const auto dump = testing::dumpServer();
    EXPECT_EQ(processObject(platform.platform().hardware, player.pid()),
              testing::clientOfProcess(dump, player.pid()).value());

    testing::Subprocess sleeper({"/bin/sleep", "30"});
    AudioObjectID object = 77;
    EXPECT_EQ(platform.platform().hardware.translatePIDToProcessObject(sleeper.pid(), object), 0);
    EXPECT_EQ(object, kAudioObjectUnknown);
}

// A playing process's stream is running; this test process has a client but no stream.
TEST(PipeWireBackend, APlayerRunsOutputAndAClientWithoutAStreamDoesNot) {
    TonePlayer player("qor-backend-running", 440);
    PipeWirePlatform platform;
    AudioHardware& hardware = platform.platform().hardware;
    bool running = false;
    EXPECT_EQ(hardware.readProcessIsRunningOutput(processObject(hardware, player.pid()), running),
              0);
    EXPECT_TRUE(running);
    const AudioObjectID own = processObject(hardware, ::getpid());
    ASSERT_NE(own, kAudioObjectUnknown);
    EXPECT_EQ(hardware.readProcessIsRunningOutput(own, running), 0);
    EXPECT_FALSE(running);
}

TEST(PipeWireBackend, RunningApplicationsArePlayersNotDaemonsNorThisProgram) {
    TonePlayer first("qor-apps-first", 440);
    TonePlayer second("qor-apps-second", 1000);
    PipeWirePlatform platform;
    Workspace& workspace = platform.platform().workspace;
    const auto applications = workspace.runningApplications();

    auto find = [&](int pid) -> const RunningApplication* {
        for (const auto& application : applications) {
            if (application.processIdentifier == pid) {
                return &application;
            }
        }
        return nullptr;
    };
    for (const TonePlayer* player : {&first, &second}) {
        const RunningApplication* application = find(player->pid());
        ASSERT_NE(application, nullptr) << player->name();
        EXPECT_EQ(application->localizedName, player->name());
        EXPECT_EQ(application->bundleIdentifier, player->name());
        EXPECT_FALSE(application->isTerminated);
        EXPECT_EQ(application->activationPolicy, ActivationPolicy::regular);
    }
    EXPECT_EQ(workspace.ownProcessIdentifier(), ::getpid());
    EXPECT_EQ(find(::getpid()), nullptr);
    for (const auto& application : applications) {
        EXPECT_NE(application.bundleIdentifier, "wireplumber");
        EXPECT_NE(application.bundleIdentifier, "pipewire");
    }
}

TEST(PipeWireBackend, ATapIsAFloatStereoCaptureNodeFedOnlyByTheSelectedStreams) {
    TonePlayer selected("qor-tap-selected", 440);
    TonePlayer other("qor-tap-other", 1000);
    PipeWirePlatform platform;
    AudioHardware& hardware = platform.platform().hardware;
    const AudioObjectID process = processObject(hardware, selected.pid());

    // The server is asked while the capture runs: until then our client does not serve its loop,
    // and other clients that ask it about its ports wait.
    IOQueue queue("com.example.pipewire.tap");
    Delivery delivery;
    Capture capture{hardware};
    ASSERT_EQ(capture.start(mixdownOf({process}, "QOR Test Tap A"), queue, delivery), 0);
    const AudioObjectID tap = capture.tap;
    std::string uid;
    EXPECT_EQ(hardware.readTapUID(tap, uid), 0);
    EXPECT_EQ(uid, "QOR Test Tap A");
    AudioStreamBasicDescription format{};
    ASSERT_EQ(hardware.readTapFormat(tap, format), 0);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_TRUE(format.mFormatFlags & kAudioFormatFlagIsFloat);
    EXPECT_TRUE(format.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(format.mBitsPerChannel, 32u);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBytesPerFrame, 4u);
    EXPECT_EQ(format.mSampleRate, 48000.0);  // the private server's graph rate

    const auto dump = testing::dumpServer();
    const nlohmann::json* node = testing::objectWithID(dump, tap);
    ASSERT_NE(node, nullptr);
    const auto& props = node->at("info").at("props");
    EXPECT_EQ(props.value("node.name", ""), uid);
    EXPECT_EQ(props.value("media.class", ""), "Stream/Input/Audio");
    // Every link into the tap comes from the selected player's stream and is ours.
    const auto links = testing::linksInto(dump, tap);
    EXPECT_EQ(links.size(), 2u);  // the mono player feeds left and right
    const auto selectedClient = testing::clientOfProcess(dump, selected.pid()).value();
    const auto ownClient = testing::clientOfProcess(dump, ::getpid()).value();
    const auto owned = testing::objectsOwnedBy(dump, ownClient);
    for (std::uint32_t id : links) {
        const nlohmann::json* link = testing::objectWithID(dump, id);
        const auto source = link->at("info").value("output-node-id", 0u);
        EXPECT_EQ(
            testing::objectWithID(dump, source)->at("info").at("props").value("client.id", 0u),
            selectedClient);
        EXPECT_NE(std::find(owned.begin(), owned.end(), id), owned.end());
    }
    capture.stop();
}

std::size_t threadsOfThisProcess() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator{}));
}

TEST(PipeWireBackend, AudioReachesTheBlockOnTheIOQueueAndTeardownLeavesNothing) {
    TonePlayer selected("qor-flow-selected", 440);
    TonePlayer other("qor-flow-other", 1000);
    const std::size_t threadsBefore = threadsOfThisProcess();
    PipeWirePlatform platform;
    AudioHardware& hardware = platform.platform().hardware;
    IOQueue queue("com.example.pipewire.test");
    Delivery delivery;
    Capture capture{hardware};
    ASSERT_EQ(capture.start(mixdownOf({processObject(hardware, selected.pid())}, "QOR Test Flow"),
                            queue, delivery),
              0);
    ASSERT_TRUE(delivery.waitForFrames(2 * 48000, 10s));
    // The queue is the only thread the capture adds: PipeWire's own data thread would be woken
    // for every graph cycle as well.
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore + 1);
    const auto dumpWhileRunning = testing::dumpServer();
    const auto ownClient = testing::clientOfProcess(dumpWhileRunning, ::getpid()).value();
    EXPECT_FALSE(testing::objectsOwnedBy(dumpWhileRunning, ownClient).empty());
    double deviceRate = 0;
    EXPECT_EQ(hardware.readDeviceSampleRate(capture.device, deviceRate), 0);
    EXPECT_EQ(deviceRate, 48000.0);
    capture.stop();

    const auto samples = delivery.copy();
    EXPECT_TRUE(delivery.everyCallOnQueue);
    EXPECT_TRUE(delivery.clocksAdvance);
    EXPECT_EQ(delivery.lastTime.announcedRate, 48000.0);
    EXPECT_EQ(delivery.lostCalls, 0);
    const auto wanted = testing::toneLevels(samples, 440);
    const auto unwanted = testing::toneLevels(samples, 1000);
    EXPECT_NEAR(testing::loudest(wanted), 0.5, 0.05) << testing::describe(wanted);
    EXPECT_LT(testing::decibels(testing::loudest(unwanted) / 0.5), -40.0)
        << testing::describe(unwanted);

    // Our client stays connected (the platform lives on) but owns nothing any more.
    const auto dumpAfter = testing::dumpServer();
    EXPECT_TRUE(testing::objectsOwnedBy(dumpAfter, ownClient).empty());
    for (const auto& node : testing::objectsOfType(dumpAfter, "PipeWire:Interface:Node")) {
        EXPECT_NE(node.at("info").at("props").value("node.name", ""), "QOR Test Flow");
    }
}

TEST(PipeWireBackend, MisusedHandlesGetTheirOwnStatuses) {
    PipeWirePlatform platform;
    AudioHardware& hardware = platform.platform().hardware;
    std::string uid;
    AudioStreamBasicDescription format{};
    EXPECT_EQ(hardware.readTapUID(12345, uid), pipewire::kStatusUnknownObject);
    EXPECT_EQ(hardware.readTapFormat(12345, format), pipewire::kStatusUnknownObject);
    AudioObjectID device = 0;
    EXPECT_EQ(hardware.createAggregateDevice(deviceAround("no such tap"), device),
              pipewire::kStatusUnknownTap);
    EXPECT_EQ(hardware.deviceStart(999, 1), pipewire::kStatusUnknownObject);
    EXPECT_EQ(hardware.destroyProcessTap(12345), pipewire::kStatusUnknownObject);

    AudioObjectID tap = 0;
    ASSERT_EQ(hardware.createProcessTap(TapDescription{}, tap), 0);  // global, nothing excluded
    hardware.readTapUID(tap, uid);
    ASSERT_EQ(hardware.createAggregateDevice(deviceAround(uid), device), 0);
    EXPECT_EQ(hardware.deviceStart(device, 1), pipewire::kStatusIOProcMismatch);
    IOQueue queue("com.example.pipewire.misuse");
    IOQueue otherQueue("com.example.pipewire.other");
    Delivery delivery;
    IOProcID proc = 0;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(device, queue, delivery.block(queue),
                                               delivery.lost(), proc),
              0);
    IOProcID second = 0;
    EXPECT_EQ(hardware.createIOProcIDWithBlock(device, otherQueue, delivery.block(otherQueue),
                                               delivery.lost(), second),
              pipewire::kStatusIOProcMismatch);
    EXPECT_EQ(hardware.deviceStart(device, proc + 1), pipewire::kStatusIOProcMismatch);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), 0);
    EXPECT_EQ(hardware.destroyAggregateDevice(device), 0);
    EXPECT_EQ(hardware.destroyProcessTap(tap), 0);
    EXPECT_EQ(hardware.destroyProcessTap(tap), pipewire::kStatusUnknownObject);
}

TEST(PipeWireBackend, AGlobalTapOfIdleOutputDeliversSilence) {
    GlobalCapture global("com.example.pipewire.idle");
    ASSERT_EQ(global.start(), 0);
    EXPECT_TRUE(global.delivery.waitForFrames(48000, 10s));
    global.capture.stop();
}

// As with Core Audio's I/O procs, the block runs only between the device's start and its stop,
// though the graph schedules the node as soon as it is linked.
TEST(PipeWireBackend, TheBlockRunsOnlyWhileTheDeviceRuns) {
    TonePlayer player("qor-start-player", 440);
    PipeWirePlatform platform;
    AudioHardware& hardware = platform.platform().hardware;
    IOQueue queue("com.example.pipewire.start");
    Delivery delivery;
    Capture capture{hardware};
    ASSERT_EQ(
        hardware.createProcessTap(
            mixdownOf({processObject(hardware, player.pid())}, "QOR Test Start"), capture.tap),
        0);
    ASSERT_EQ(hardware.createAggregateDevice(deviceAround("QOR Test Start"), capture.device), 0);
    ASSERT_EQ(hardware.createIOProcIDWithBlock(capture.device, queue, delivery.block(queue),
                                               delivery.lost(), capture.proc),
              0);
    std::this_thread::sleep_for(300ms);  // several graph cycles
    EXPECT_TRUE(delivery.copy().empty());
    ASSERT_EQ(hardware.deviceStart(capture.device, capture.proc), 0);
    EXPECT_TRUE(delivery.waitForFrames(4800, 10s));
    ASSERT_EQ(hardware.deviceStop(capture.device, capture.proc), 0);
    const std::size_t stopped = delivery.copy().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delivery.copy().size(), stopped);
    capture.stop();
}

TEST(PipeWireBackend, NoReachableServerMeansUnsupportedAndUnreachable) {
    testing::TemporaryDirectory empty;
    DisposableAudioServer::Use nowhere(
        {{"XDG_RUNTIME_DIR", empty.path()}, {"PIPEWIRE_REMOTE", ""}, {"PIPEWIRE_RUNTIME_DIR", ""}});
    PipeWirePlatform platform;
    EXPECT_FALSE(platform.platform().system.captureSupported());
    EXPECT_EQ(platform.platform().system.requirement(), SystemRequirement::pipeWireServer);
    EXPECT_TRUE(platform.platform().workspace.runningApplications().empty());
    AudioObjectID object = 0;
    EXPECT_EQ(platform.platform().hardware.translatePIDToProcessObject(1, object),
              pipewire::kStatusServerUnreachable);
    AudioObjectID tap = 0;
    EXPECT_EQ(platform.platform().hardware.createProcessTap(TapDescription{}, tap),
              pipewire::kStatusServerUnreachable);
}

TEST(PipeWireBackend, AServerThatNeverAnswersCostsSecondsNotAHang) {
    DisposableAudioServer server;
    auto use = server.use();
    {
        PipeWirePlatform platform;
        EXPECT_TRUE(platform.platform().system.captureSupported());
    }
    ::kill(server.pipewirePid(), SIGSTOP);
    PipeWirePlatform platform;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform.platform().system.captureSupported());
    AudioObjectID object = 0;
    EXPECT_EQ(platform.platform().hardware.translatePIDToProcessObject(1, object),
              pipewire::kStatusServerTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ::kill(server.pipewirePid(), SIGCONT);
}

TEST(PipeWireBackend, ALostServerIsReportedOnceAndTeardownStillReturns) {
    DisposableAudioServer server;
    auto use = server.use();
    GlobalCapture global("com.example.pipewire.lost");
    auto& delivery = global.delivery;
    ASSERT_EQ(global.start(), 0);
    ASSERT_TRUE(delivery.waitForFrames(4800, 10s));

    ::kill(server.pipewirePid(), SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (delivery.lostCalls == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(delivery.lostCalls, 1);
    const auto started = std::chrono::steady_clock::now();
    global.capture.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(delivery.lostCalls, 1);
    EXPECT_FALSE(global.platform.platform().system.captureSupported());
}

// The server answers a request about an object it has already dropped with an error on the core:
// it happens whenever a client or link goes away while this program binds or releases it, as
// other programs come and go, and it is no reason to give the connection up.
TEST(PipeWireConnection, AComplaintAboutAnObjectAlreadyGoneLeavesTheConnectionUp) {
    OSStatus status = -1;
    auto connection = pipewire::Connection::open(status);
    ASSERT_NE(connection, nullptr) << status;
    int complaints = 0;
    spa_hook listener{};
    static const pw_core_events events = [] {
        pw_core_events handlers{};
        handlers.version = PW_VERSION_CORE_EVENTS;
        handlers.error = [](void* data, std::uint32_t id, int, int res, const char*) {
            if (id == PW_ID_CORE && res == -ENOENT) {
                ++*static_cast<int*>(data);
            }
        };
        return handlers;
    }();
    pw_core_add_listener(connection->core(), &listener, &events, &complaints);

    // The server refuses the object and frees its id; the destroy that follows names an id it no
    // longer knows.
    auto* proxy = static_cast<pw_proxy*>(
        pw_core_create_object(connection->core(), "qor-no-such-factory", PW_TYPE_INTERFACE_Link,
                              PW_VERSION_LINK, nullptr, 0));
    ASSERT_NE(proxy, nullptr);
    pw_proxy_destroy(proxy);
    EXPECT_EQ(connection->sync(pipewire::Connection::Clock::now() + 3s), 0);
    spa_hook_remove(&listener);
    EXPECT_EQ(complaints, 1);
    EXPECT_FALSE(connection->lost());
    EXPECT_EQ(connection->sync(pipewire::Connection::Clock::now() + 3s), 0);
}

}  // namespace
}  // namespace qor
