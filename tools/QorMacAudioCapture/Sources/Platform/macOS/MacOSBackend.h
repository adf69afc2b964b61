// The macOS capture platform: Core Audio process taps for the hardware, the AppKit workspace for
// the running applications, and the operating-system version test. Plain C++ on the outside so the
// platform registry needs no Apple header; the Objective-C++ lives in the .mm files.
#pragma once

#include <map>
#include <memory>

#include "AudioHardware.h"
#include "SystemCollation.h"

namespace qor::macos {

class CoreAudioHardware final : public AudioHardware {
  public:
    CoreAudioHardware();
    ~CoreAudioHardware() override;
    CoreAudioHardware(const CoreAudioHardware&) = delete;
    CoreAudioHardware& operator=(const CoreAudioHardware&) = delete;

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
    // A dead aggregate device or a restarted service leaves nothing to start again: only new
    // objects bring the audio back.
    bool rebuildingRecoversDevice() const override { return true; }

  private:
    // The registered I/O procs with the dispatch queue and relay each one feeds. Main thread only:
    // the capture registers, starts, stops and destroys its procs there.
    struct Registration;
    std::map<IOProcID, std::unique_ptr<Registration>> registrations_;
    void listenForRate(Registration& registration, AudioObjectID device);
    static void stopListeningForRate(Registration& registration);
    // The description each tap was made from, kept so that an update changes its process list
    // and nothing else (its UUID, and with it the tap's UID, stays). Main thread only.
    struct TapRecord;
    std::map<AudioObjectID, std::unique_ptr<TapRecord>> taps_;
    // The tap each aggregate device was made around, for the rate listeners. Main thread only.
    std::map<AudioObjectID, AudioObjectID> deviceTaps_;
    // The process-list listeners with the queue each runs on. Main thread only.
    struct ProcessListener;
    std::map<ProcessListListenerID, std::unique_ptr<ProcessListener>> listeners_;
    ProcessListListenerID nextListener_ = 1;
    // The device-event listeners, removed at the latest when the hardware goes. Main thread only.
    struct DeviceListener;
    std::map<DeviceEventListenerID, std::unique_ptr<DeviceListener>> deviceListeners_;
    DeviceEventListenerID nextDeviceListener_ = 1;
};

class AppKitWorkspace final : public Workspace {
  public:
    std::vector<RunningApplication> runningApplications() override;
    std::int32_t ownProcessIdentifier() override;
    // From the kernel's process table (sysctl KERN_PROC_PID).
    std::optional<std::int32_t> parentProcessIdentifier(std::int32_t pid) override;
    // The system's attribution (libSystem's responsibility record), when this system has it.
    std::optional<std::int32_t> responsibleProcessIdentifier(std::int32_t pid) override;
    // Core Foundation's localized comparison in the user's current locale.
    int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) override {
        return qor::localizedCaseInsensitiveCompare(a, b);
    }
    // Foundation's canonical composition, the normalisation the system's comparisons rest on.
    std::optional<std::string> canonicalComposition(const std::string& text) override {
        return qor::canonicalComposition(text);
    }
};

class MacOSSystemSupport final : public SystemSupport {
  public:
    SystemRequirement requirement() const override { return SystemRequirement::macOS14_2; }
    // Process taps arrived with macOS 14.2.
    bool captureSupported() override;
};

}  // namespace qor::macos
