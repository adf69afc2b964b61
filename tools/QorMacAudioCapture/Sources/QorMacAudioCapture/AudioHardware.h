// The platform interface of the capture engine: the audio hardware operations, the workspace of
// running applications and the system test. Everything here is portable; each backend (macOS,
// PipeWire, simulated) implements it in its own folder and the core never sees a backend type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qor {

class IOQueue;

// Value types laid out exactly as Core Audio lays them out, so the macOS backend can hand the
// platform's records to the core unchanged (it checks the layouts with static_assert).
using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr OSStatus kAudioHardwareNoError = 0;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) |
           (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;
inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;
inline constexpr std::uint32_t kAudioTapPropertyUID = fourCharCode("tuid");
inline constexpr std::uint32_t kAudioTapPropertyFormat = fourCharCode("tfmt");
inline constexpr std::uint32_t kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCharCode("id2p");
inline constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
inline constexpr std::uint32_t kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr std::uint32_t kAudioTapPropertyDescription = fourCharCode("tdsc");
inline constexpr std::uint32_t kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");

struct AudioStreamBasicDescription {
    double mSampleRate;
    std::uint32_t mFormatID;
    std::uint32_t mFormatFlags;
    std::uint32_t mBytesPerPacket;
    std::uint32_t mFramesPerPacket;
    std::uint32_t mBytesPerFrame;
    std::uint32_t mChannelsPerFrame;
    std::uint32_t mBitsPerChannel;
    std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};

// Variable-length like the platform's: mNumberBuffers records follow the count.
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

// Storage for an AudioBufferList with any number of buffers, for backends and tests that build
// buffer lists themselves.
class AudioBufferListStorage {
  public:
    explicit AudioBufferListStorage(std::uint32_t bufferCount);
    AudioBufferList& list() { return *reinterpret_cast<AudioBufferList*>(storage_.data()); }
    AudioBuffer& buffer(std::uint32_t index) { return list().mBuffers[index]; }

  private:
    std::vector<std::byte> storage_;
};

// What kind of tap the core wants: a mixdown of the listed processes, or all output except them.
struct TapDescription {
    enum class Kind { stereoMixdownOfProcesses, stereoGlobalTapButExcludeProcesses };
    Kind kind = Kind::stereoGlobalTapButExcludeProcesses;
    std::vector<AudioObjectID> processes;  // ascending, no duplicates
    bool isPrivate = true;
    int muteBehavior = 0;  // 0: unmuted, the tapped audio still plays
    std::string name;
};

// The aggregate device that wraps a tap: the seven keys of the platform's description dictionary.
struct AggregateDeviceDescription {
    struct SubTap {
        std::string uid;
        bool driftCompensation = true;
    };
    std::string name;
    std::string uid;
    std::string mainSubDevice;  // "master"
    std::string clockDevice;    // "clock"
    bool isPrivate = true;
    bool isStacked = false;
    std::vector<SubTap> taps;
};

// Opaque handle of a registered I/O proc; the backend chooses the values.
using IOProcID = std::uintptr_t;

// One audio process object and the process it stands for.
struct AudioProcess {
    AudioObjectID object = kAudioObjectUnknown;
    std::int32_t pid = 0;
    friend bool operator==(const AudioProcess&, const AudioProcess&) = default;
};

// Told that the audio process objects may have changed. Runs on any thread, with no lock of the
// backend held, and may come when nothing changed; the receiver reads the list again.
using ProcessListHandler = std::function<void()>;
// Opaque handle of a process-list listener; the backend chooses the values.
using ProcessListListenerID = std::uintptr_t;

// When a cycle's first frame was captured, on the device's two clocks, and the rate the platform
// announces for the device now. The core compares the clocks to learn the rate the device really
// delivers; a backend fills what its platform tells and leaves the rest invalid or 0.
struct IOCycleTime {
    // The device's sample clock, in its own frames (Core Audio's mSampleTime, PipeWire's
    // clock.position).
    double sampleTime = 0.0;
    // The host clock in nanoseconds: CLOCK_MONOTONIC on Linux, mach_absolute_time converted on
    // macOS.
    std::uint64_t hostTimeNs = 0;
    // The device's nominal rate as last announced (the graph's rate of this cycle on PipeWire, the
    // latest rate-change notification on macOS); 0 when the platform announces none.
    double announcedRate = 0.0;
    bool sampleTimeValid = false;
    bool hostTimeValid = false;
};

// Real-time contract of the I/O block: it runs on the capture's I/O queue (never concurrently with
// itself or with the diagnostics timer), receives one input buffer list per device cycle with the
// cycle's time, must not block, and may only read the list during the call. The list and its data
// stay owned by the backend. The block holds the capture weakly and does nothing once the capture
// is gone.
using IOBlock = std::function<void(const AudioBufferList& input, const IOCycleTime& time)>;

// Called at most once, from any thread, when the audio server behind a running device goes away.
using DeviceLostHandler = std::function<void()>;

// What the platform tells about a device that may be gone while the capture still runs: the audio
// service restarted (every object of the old service is dead), or the device is no longer alive.
enum class DeviceEvent { serviceRestarted, deviceDied };
// Runs on any thread, with no lock of the backend held, until removeDeviceEventListener returns.
using DeviceEventHandler = std::function<void(DeviceEvent)>;
// Opaque handle of a device-event listener; the backend chooses the values.
using DeviceEventListenerID = std::uintptr_t;

// One member per hardware operation. Every member returns the platform status (0 = success) and
// writes its result only on success. Releasing members may be called with objects that are already
// gone; their statuses are never examined.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    // Property 'tuid' of a tap (data size 8 on the platform).
    virtual OSStatus readTapUID(AudioObjectID tap, std::string& outUID) = 0;
    // Property 'tfmt' of a tap (data size 40).
    virtual OSStatus readTapFormat(AudioObjectID tap, AudioStreamBasicDescription& outFormat) = 0;
    // Property 'id2p' of the system object, qualified by the pid; outObject is 0 when the process
    // has no audio process object.
    virtual OSStatus translatePIDToProcessObject(std::int32_t pid, AudioObjectID& outObject) = 0;
    // Property 'prs#' of the system object, each object with its property 'ppid': every audio
    // process object that exists now.
    virtual OSStatus readProcessList(std::vector<AudioProcess>& outProcesses) = 0;
    // A listener on 'prs#'. The handler runs until removeProcessListListener returns, and may run
    // once more on another thread while it returns.
    virtual OSStatus addProcessListListener(ProcessListHandler handler,
                                            ProcessListListenerID& outListener) = 0;
    virtual OSStatus removeProcessListListener(ProcessListListenerID listener) = 0;
    // Property 'tdsc' of a tap: changes the processes a running tap covers, in place, without a
    // gap in what it delivers. Only the process list may differ from the tap's description.
    virtual OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description) = 0;
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDevice) = 0;
    // Property 'nsrt' of a device: the rate it runs at now, which may differ from its tap's
    // format.
    virtual OSStatus readDeviceSampleRate(AudioObjectID device, double& outRate) = 0;
    // The block must only ever run on `queue` (see IOQueue). `lost` reports a vanished server.
    virtual OSStatus createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue, IOBlock block,
                                             DeviceLostHandler lost, IOProcID& outProc) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, IOProcID proc) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, IOProcID proc) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

    // Property 'piro' of an audio process object: whether the process produces output now.
    virtual OSStatus readProcessIsRunningOutput(AudioObjectID process, bool& outRunning) = 0;
    // Listeners on the system object's 'srst' and the device's 'livn'. A platform that has neither
    // succeeds and never calls the handler.
    virtual OSStatus addDeviceEventListener(AudioObjectID device, DeviceEventHandler handler,
                                            DeviceEventListenerID& outListener) = 0;
    virtual OSStatus removeDeviceEventListener(DeviceEventListenerID listener) = 0;
    // Whether building the tap, its device and the I/O proc again can bring back a device that
    // stopped calling. Not where the platform's own graph already moves the capture to another
    // clock, and a new node would wait for the same stuck peers (PipeWire).
    virtual bool rebuildingRecoversDevice() const = 0;
};

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

struct RunningApplication {
    std::int32_t processIdentifier = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    bool isTerminated = false;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
};

// The running applications a user could pick, in the platform's order.
class Workspace {
  public:
    virtual ~Workspace() = default;
    virtual std::vector<RunningApplication> runningApplications() = 0;
    virtual std::int32_t ownProcessIdentifier() = 0;
    // `text`, valid UTF-8 that is not plain ASCII, in Unicode canonical composed form (NFC), so
    // that composed and decomposed spellings of the same characters become the same bytes; nothing
    // when no normaliser is available. Any thread.
    virtual std::optional<std::string> canonicalComposition(const std::string& text) = 0;
    // The parent of a running process in the kernel's process table; nullopt when the process is
    // gone or cannot be read.
    virtual std::optional<std::int32_t> parentProcessIdentifier(std::int32_t pid) = 0;
    // The process the system holds responsible for a running process: on macOS the application a
    // service runs for, such as the one a WebKit media service that launchd started plays for.
    // nullopt when the platform keeps no such record or cannot read it.
    virtual std::optional<std::int32_t> responsibleProcessIdentifier(std::int32_t pid) = 0;
    // The system's order of application names: localized, case-insensitive, in the user's current
    // locale; negative, zero or positive. Throws HelperError when the system cannot compare names.
    virtual int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) = 0;
};

// Which requirement the platform's capture test checks; the core owns the texts for each.
enum class SystemRequirement { macOS14_2, pipeWireServer };

// The oldest PipeWire server the Linux backend works with; the core reports it as the minimum
// system version, the backend tests the server against it.
inline constexpr const char* kPipeWireMinimumServerVersion = "0.3.48";

class SystemSupport {
  public:
    virtual ~SystemSupport() = default;
    virtual SystemRequirement requirement() const = 0;
    // True when this system can capture (a new enough OS, or a reachable audio server). Must
    // answer within a few seconds whatever the platform does.
    virtual bool captureSupported() = 0;
};

struct Platform {
    AudioHardware& hardware;
    Workspace& workspace;
    SystemSupport& system;
};

}  // namespace qor
