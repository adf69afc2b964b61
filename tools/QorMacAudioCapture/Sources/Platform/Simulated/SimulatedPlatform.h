// A scriptable stand-in for the audio hardware, the workspace and the system test, for tests only.
// It keeps a process tree of running applications and helper processes with their audio process
// objects, starts and ends processes on the device's clock, fails any operation with a chosen
// status, reports a chosen tap format, generates a sine per process (mixed for the processes a tap
// covers) on the capture's I/O queue on its own clock, and records every create, update and
// destroy.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AudioHardware.h"
#include "Diagnostics.h"
#include "SystemCollation.h"

namespace qor::simulated {

struct Application {
    std::int32_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    bool terminated = false;
    ActivationPolicy policy = ActivationPolicy::regular;
    AudioObjectID audioObject = 0;  // 0: the process plays no audio
    OSStatus translateStatus = 0;   // a failing translation for this pid
    double toneFrequency = 440.0;
    float toneAmplitude = 0.5f;
    std::int32_t parentPid = 1;  // the process that started this one
    // The process the system holds responsible for this one (a service launchd started for an
    // application); absent: none recorded.
    std::optional<std::int32_t> responsiblePid;
    bool application = true;  // false: a helper process, which the workspace does not list
    // Its lifetime in seconds of the running device's clock: it exists from `startsAfter` on,
    // until `endsAfter`.
    double startsAfter = 0.0;
    std::optional<double> endsAfter;
    // It stops producing output (and says so) once the clock has run this long.
    std::optional<double> playsUntil;
};

// The device changes the rate it delivers (and, interleaved, its channel count) once its clock has
// run `afterSeconds`; only an announced change reaches the rate the platform announces.
struct RateChange {
    double afterSeconds = 0.0;
    double rate = 48000.0;
    std::optional<std::uint32_t> channels;
    bool announced = true;
};

struct Scenario {
    std::vector<Application> applications;
    std::optional<std::int32_t> ownPid;  // absent: the real process id
    bool supported = true;
    SystemRequirement requirement = SystemRequirement::macOS14_2;
    AudioStreamBasicDescription format{
        48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    std::uint32_t framesPerCallback = 480;
    // The rate the device delivers and announces at start; absent: the format's. The tap's format
    // keeps saying its own rate, as a mixdown tap does whatever its device runs at.
    std::optional<double> deviceRate;
    std::vector<RateChange> rateChanges;  // in order of time
    // The device's cycles end once its clock has run this long (the capture then hears nothing).
    std::optional<double> deliverSeconds;
    // Spans of the device's clock (start, length in seconds) whose cycles never reach the capture,
    // as when the graph does not schedule it: the clock runs on meanwhile.
    std::vector<std::pair<double, double>> stalls;
    // Operation name -> status it returns: createProcessTap, readTapUID, readTapFormat,
    // createAggregateDevice, readDeviceSampleRate, createIOProc, deviceStart, readProcessList,
    // addProcessListListener, setTapDescription, readProcessIsRunningOutput,
    // addDeviceEventListener.
    std::map<std::string, OSStatus> failures;
    std::optional<double> loseServerAfterSeconds;
    // Spans of the clock (start, length in seconds) in which the tap delivers exact zeros while
    // its processes still say they produce output, as without the permission to capture.
    std::vector<std::pair<double, double>> zeroSpans;
    // The first device dies, or the audio service restarts, once its clock has run this long: it
    // tells its device-event listeners and delivers nothing more.
    std::optional<std::pair<double, DeviceEvent>> deviceEvent;
    // What a device described with its tap as main sub-device and clock does: "no_callbacks"
    // (never calls), "zeros" (calls with exact zeros), or "" (works like any other).
    std::string compositionFault;
    // Like `failures`, for the operations of every chain after the first.
    std::map<std::string, OSStatus> rebuildFailures;
    std::string eventLogPath;  // each event appended as a line when it happens

    static Scenario fromJSON(const JSON& json);
};

class SimulatedPlatform final : public AudioHardware, public Workspace, public SystemSupport {
  public:
    explicit SimulatedPlatform(Scenario scenario);
    ~SimulatedPlatform() override;

    Platform platform() { return Platform{*this, *this, *this}; }

    // Events such as "create tap 1000", "start device 1001", "process 300 starts",
    // "update tap 1000 [501,601]", "destroy tap 1000", in order.
    std::vector<std::string> events() const;
    // Objects created and not yet destroyed.
    std::size_t liveObjects() const;
    std::vector<TapDescription> tapDescriptions() const;
    std::vector<AggregateDeviceDescription> aggregateDescriptions() const;
    std::size_t translateCalls() const;
    std::size_t workspaceReads() const;

    // AudioHardware
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus readTapUID(AudioObjectID tap, std::string& outUID) override;
    OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription& outFormat) override;
    OSStatus translatePIDToProcessObject(std::int32_t pid, AudioObjectID& outObject) override;
    OSStatus readProcessList(std::vector<AudioProcess>& outProcesses) override;
    OSStatus addProcessListListener(ProcessListHandler handler,
                                    ProcessListListenerID& outListener) override;
    OSStatus removeProcessListListener(ProcessListListenerID listener) override;
    OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description) override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDevice) override;
    OSStatus readDeviceSampleRate(AudioObjectID device, double& outRate) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue, IOBlock block,
                                     DeviceLostHandler lost, IOProcID& outProc) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus readProcessIsRunningOutput(AudioObjectID process, bool& outRunning) override;
    OSStatus addDeviceEventListener(AudioObjectID device, DeviceEventHandler handler,
                                    DeviceEventListenerID& outListener) override;
    OSStatus removeDeviceEventListener(DeviceEventListenerID listener) override;
    bool rebuildingRecoversDevice() const override { return true; }

    // Workspace
    std::vector<RunningApplication> runningApplications() override;
    std::int32_t ownProcessIdentifier() override;
    std::optional<std::int32_t> parentProcessIdentifier(std::int32_t pid) override;
    std::optional<std::int32_t> responsibleProcessIdentifier(std::int32_t pid) override;
    // The real platform's collation: the order is the system's, not the scenario's.
    int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) override {
        return qor::localizedCaseInsensitiveCompare(a, b);
    }
    std::optional<std::string> canonicalComposition(const std::string& text) override {
        return qor::canonicalComposition(text);
    }

    // SystemSupport
    SystemRequirement requirement() const override { return scenario_.requirement; }
    bool captureSupported() override { return scenario_.supported; }

  private:
    class Generator;

    OSStatus failure(const std::string& operation) const;
    void record(const std::string& event);
    bool exists(const Application& application) const;
    const Application* running(std::int32_t pid) const;  // with mutex_ held
    std::vector<std::pair<double, float>> tonesFor(const TapDescription& tap) const;
    // The generator's step on the I/O queue: moves the clock, starts and ends processes (telling
    // the listeners when the set changed) and returns the tones the device's tap hears now.
    std::vector<std::pair<double, float>> advance(AudioObjectID device, double seconds);
    // On the I/O queue: tells the device's event listeners.
    void tell(AudioObjectID device, DeviceEvent event);
    bool playing(const Application& application) const;  // with mutex_ held

    const Scenario scenario_;
    mutable std::mutex mutex_;  // guards everything below; tests read from other threads
    AudioObjectID nextObject_ = 1000;
    std::vector<std::string> events_;
    std::map<AudioObjectID, TapDescription> taps_;
    std::map<AudioObjectID, AudioObjectID> deviceTap_;  // device -> its tap
    std::set<AudioObjectID> tapClockedDevices_;         // described with the tap as main and clock
    std::size_t tapsCreated_ = 0;
    std::size_t devicesStarted_ = 0;
    std::map<DeviceEventListenerID, std::pair<AudioObjectID, DeviceEventHandler>> deviceListeners_;
    DeviceEventListenerID nextDeviceListener_ = 1;
    std::vector<TapDescription> tapHistory_;
    std::vector<AggregateDeviceDescription> aggregateHistory_;
    struct Proc {
        AudioObjectID device;
        IOQueue* queue;
        IOBlock block;
        DeviceLostHandler lost;
        std::shared_ptr<Generator> generator;
    };
    std::map<IOProcID, Proc> procs_;
    std::size_t translateCalls_ = 0;
    std::size_t workspaceReads_ = 0;
    double clock_ = 0.0;                  // seconds of the running device's clock
    std::vector<std::int32_t> existing_;  // the processes that existed at the last step
    ProcessListListenerID nextListener_ = 1;
    std::map<ProcessListListenerID, ProcessListHandler> listeners_;
};

}  // namespace qor::simulated
