// The PipeWire backend's implementations of the capture platform interface. Internal to the
// backend; the core and the product reach them through PipeWirePlatform.
//
// The interface speaks Core Audio's words; on PipeWire they stand for:
// - audio process object (of a pid, translate pid): the id of the client object whose
//   application.process.id is the pid; kAudioObjectUnknown when that process is no audio client.
// - process list (and its listener): every client the server has described that has a process
//   id, re-read from the graph; the listener fires when that set changes.
// - process tap: a capture node (a filter with two F32 mono input ports, FL and FR, at the graph
//   rate) plus the links that feed it from the selected clients' playback streams (or from every
//   other one, for global output), kept up as streams come and go; its id is the node's id.
// - tap UID and format: the capture node's name; F32 non-interleaved stereo (one buffer per port)
//   at the graph's rate.
// - aggregate device: only a handle of this backend that names one tap; nothing on the server.
// - I/O proc, device start and stop: the node's process callback, delivered onto the capture's
//   I/O queue, and the node's activation.
// - device lost: the node failed, the server destroyed it, or the connection broke.
// - device events (service restart, device death): none; a lost server is a lost device, and the
//   graph moves the node to another driver by itself, so rebuilding brings nothing back.
// - process producing output: one of the process's playback streams is in the running state.
// - OSStatus: the backend's own negative statuses (PipeWireStatus.h) or PipeWire's negative errno.
#pragma once

#include <map>
#include <memory>
#include <variant>

#include "PipeWireConnection.h"
#include "PipeWireStatus.h"
#include "PipeWireTap.h"
#include "SystemCollation.h"

namespace qor::pipewire {

// Holds the one connection the backend's operations share. A lost connection is replaced on next
// use; taps keep the connection they were made on until they are destroyed.
class ConnectionCache {
  public:
    // The calling thread's (the main thread's).
    std::shared_ptr<Connection> connection(OSStatus& status);

  private:
    std::shared_ptr<Connection> current_;
};

// The core calls every operation from its main thread; the maps belong to that thread. Tap state
// is reached through the tap's connection (perform), never directly.
class PipeWireAudioHardware final : public AudioHardware {
  public:
    explicit PipeWireAudioHardware(ConnectionCache& connectionCache)
        : connectionCache_(connectionCache) {}
    ~PipeWireAudioHardware() override;

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
    // The graph's rate now (a forced rate, else the current one).
    OSStatus readDeviceSampleRate(AudioObjectID device, double& outRate) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue, IOBlock block,
                                     DeviceLostHandler lost, IOProcID& outProc) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    // Whether a playback stream of the client's process is in the running state.
    OSStatus readProcessIsRunningOutput(AudioObjectID process, bool& outRunning) override;
    OSStatus addDeviceEventListener(AudioObjectID, DeviceEventHandler,
                                    DeviceEventListenerID& outListener) override {
        outListener = 0;
        return kAudioHardwareNoError;
    }
    OSStatus removeDeviceEventListener(DeviceEventListenerID) override {
        return kAudioHardwareNoError;
    }
    bool rebuildingRecoversDevice() const override { return false; }

  private:
    struct Device {
        std::shared_ptr<CaptureTap> tap;
        IOProcID proc = 0;
    };
    class ProcessListWatch;
    // What a handle names: a tap (its node's id), an aggregate device around a tap, or a process
    // list listener.
    using Handle =
        std::variant<std::shared_ptr<CaptureTap>, Device, std::shared_ptr<ProcessListWatch>>;
    // The handle's entry when it names a T, else nullptr.
    template <class T>
    T* find(std::uintptr_t handle);
    // Every handle that names a T.
    template <class T>
    std::vector<std::uintptr_t> handlesOf() const;

    ConnectionCache& connectionCache_;
    std::map<std::uintptr_t, Handle> handles_;
    // Device and listener ids are this backend's own, not server objects; kept apart from node ids.
    std::uintptr_t nextHandle_ = 0x10000;
    IOProcID nextProc_ = 1;
};

// Running applications are the server's clients that a user could pick, each listed with the
// application process it belongs to.
class PipeWireWorkspace final : public Workspace {
  public:
    explicit PipeWireWorkspace(ConnectionCache& connectionCache)
        : connectionCache_(connectionCache) {}
    std::vector<RunningApplication> runningApplications() override;
    std::int32_t ownProcessIdentifier() override;
    // From /proc, read when the core asks, which is when a client has just appeared: a process
    // whose parent has exited belongs to whoever adopted it from then on.
    std::optional<std::int32_t> parentProcessIdentifier(std::int32_t pid) override;
    // Linux keeps no such record: an application's audio services are its descendants.
    std::optional<std::int32_t> responsibleProcessIdentifier(std::int32_t) override {
        return std::nullopt;
    }
    // ICU's collation in the process's locale.
    int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) override {
        return qor::localizedCaseInsensitiveCompare(a, b);
    }
    std::optional<std::string> canonicalComposition(const std::string& text) override {
        return qor::canonicalComposition(text);
    }

  private:
    std::int32_t applicationProcessOf(std::int32_t pid);

    ConnectionCache& connectionCache_;
};

// Capture needs a reachable server of at least kMinimumServerVersion.
class PipeWireSystemSupport final : public SystemSupport {
  public:
    explicit PipeWireSystemSupport(ConnectionCache& connectionCache)
        : connectionCache_(connectionCache) {}
    SystemRequirement requirement() const override { return SystemRequirement::pipeWireServer; }
    bool captureSupported() override;

  private:
    ConnectionCache& connectionCache_;
};

}  // namespace qor::pipewire
