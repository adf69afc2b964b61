// The capture's audio hardware on Core Audio process taps. Each member performs one Core Audio call
// and returns its status unchanged; the core turns a failing status into the step error below.
//
// clang-format off
// Core Audio call                             member                       failure step
// ------------------------------------------  ---------------------------  --------------------------------
// AudioHardwareCreateProcessTap               createProcessTap             "create_process_tap"
// AudioObjectGetPropertyData tap 'tuid' (8)   readTapUID                   "read_tap_uid"
// AudioObjectGetPropertyData tap 'tfmt' (40)  readTapFormat                "read_tap_format"
// AudioObjectGetPropertyData 1 'id2p' (4) *   translatePIDToProcessObject  "translate_pid_to_audio_process"
// AudioObjectGetPropertyData 1 'prs#', 'ppid'  readProcessList              none (the tree is not followed)
// AudioObjectAddPropertyListenerBlock 'prs#'   addProcessListListener       "add_process_list_listener"
// AudioObjectRemovePropertyListenerBlock       removeProcessListListener    none
// AudioObjectSetPropertyData tap 'tdsc'        setTapDescription            none (tried again later)
// AudioHardwareCreateAggregateDevice          createAggregateDevice        "create_aggregate_device"
// AudioObjectGetPropertyData device 'nsrt'    readDeviceSampleRate         none (the tap's rate, then
//                                                                          the cycles' clocks, tell)
// AudioDeviceCreateIOProcIDWithBlock          createIOProcIDWithBlock      "create_io_proc"
// AudioObjectGetPropertyData device 'fsiz'    createIOProcIDWithBlock      none (the hand-over gets
//                                                                          its smallest size)
// AudioObjectAddPropertyListenerBlock         createIOProcIDWithBlock      none (the cycles' clocks
//   device 'nsrt', tap 'tfmt', 1 'dOut'                                     still show a change)
// AudioObjectRemovePropertyListenerBlock      destroyIOProcID              none
// AudioDeviceStart                            deviceStart                  "start_aggregate_device"
// AudioDeviceStop                             deviceStop                   none
// AudioDeviceDestroyIOProcID                  destroyIOProcID              none
// AudioHardwareDestroyAggregateDevice         destroyAggregateDevice       none
// AudioHardwareDestroyProcessTap              destroyProcessTap            none
// AudioObjectGetPropertyData process 'piro'   readProcessIsRunningOutput   none (the state says
//                                                                          "unknown")
// AudioObjectAddPropertyListenerBlock         addDeviceEventListener       none (a dead device still
//   1 'srst', device 'livn'                                                 shows by its silence)
// AudioObjectGetPropertyData device 'livn'    (the 'livn' listener)        a failing read is a
//                                                                          dead device
// AudioObjectRemovePropertyListenerBlock      removeDeviceEventListener    none
// * on the system object, qualified by the pid (4 bytes), data preset to 0; the core's list
//   lookup skips a failure instead of reporting it.
// clang-format on
//
// The program runs on macOS 12 and later so that an older system hears the core's refusal; every
// tap call is guarded for 14.2 and answers kAudioHardwareUnsupportedOperationError below it (the
// core has refused before any of them is reached).

#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <mach/mach_time.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>
#include <type_traits>

#include "IOBufferRelay.h"
#include "MacOSBackend.h"

namespace qor::macos {

// The core's value types stand in for the SDK's; the block hands Core Audio's own buffer list to
// the relay unchanged, so the layouts must be the same byte for byte.
static_assert(std::is_same_v<::AudioObjectID, qor::AudioObjectID>);
static_assert(std::is_same_v<::OSStatus, qor::OSStatus>);
#define QOR_SAME_LAYOUT(Type, field)                                       \
    static_assert(offsetof(::Type, field) == offsetof(qor::Type, field) && \
                  sizeof(::Type::field) == sizeof(qor::Type::field))
static_assert(sizeof(::AudioStreamBasicDescription) == sizeof(qor::AudioStreamBasicDescription));
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mSampleRate);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mFormatID);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mFormatFlags);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mBytesPerPacket);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mFramesPerPacket);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mBytesPerFrame);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mChannelsPerFrame);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mBitsPerChannel);
QOR_SAME_LAYOUT(AudioStreamBasicDescription, mReserved);
static_assert(sizeof(::AudioBuffer) == sizeof(qor::AudioBuffer));
QOR_SAME_LAYOUT(AudioBuffer, mNumberChannels);
QOR_SAME_LAYOUT(AudioBuffer, mDataByteSize);
QOR_SAME_LAYOUT(AudioBuffer, mData);
static_assert(sizeof(::AudioBufferList) == sizeof(qor::AudioBufferList));
QOR_SAME_LAYOUT(AudioBufferList, mNumberBuffers);
QOR_SAME_LAYOUT(AudioBufferList, mBuffers);
#undef QOR_SAME_LAYOUT
static_assert(::kAudioTapPropertyUID == qor::kAudioTapPropertyUID);
static_assert(::kAudioTapPropertyFormat == qor::kAudioTapPropertyFormat);
static_assert(::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              qor::kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(::kAudioHardwarePropertyProcessObjectList ==
              qor::kAudioHardwarePropertyProcessObjectList);
static_assert(::kAudioProcessPropertyPID == qor::kAudioProcessPropertyPID);
static_assert(::kAudioTapPropertyDescription == qor::kAudioTapPropertyDescription);
static_assert(::kAudioProcessPropertyIsRunningOutput == qor::kAudioProcessPropertyIsRunningOutput);

namespace {

// 'tuid' hands over a CFString the caller must release.
struct CFReleaser {
    void operator()(CFTypeRef object) const {
        if (object != nullptr) {
            CFRelease(object);
        }
    }
};
using ScopedCFString = std::unique_ptr<std::remove_pointer_t<CFStringRef>, CFReleaser>;
static_assert(sizeof(CFStringRef) == 8, "'tuid' is read with a data size of 8");

std::string utf8(CFStringRef string) {
    const CFRange whole = CFRangeMake(0, CFStringGetLength(string));
    CFIndex byteCount = 0;
    CFStringGetBytes(string, whole, kCFStringEncodingUTF8, '?', false, nullptr, 0, &byteCount);
    std::string text(static_cast<std::size_t>(byteCount), '\0');
    CFStringGetBytes(string, whole, kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(text.data()), byteCount, nullptr);
    return text;
}

// The texts come from the core (names, UUIDs) or from Core Audio (the tap UID): always UTF-8.
NSString* toNSString(const std::string& text) {
    NSString* string = [[NSString alloc] initWithBytes:text.data()
                                                length:text.size()
                                              encoding:NSUTF8StringEncoding];
    return string != nil ? string : @"";
}

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, ::kAudioObjectPropertyScopeGlobal, ::kAudioObjectPropertyElementMain};
}

AudioDeviceIOProcID toProcID(IOProcID proc) {
    return reinterpret_cast<AudioDeviceIOProcID>(proc);
}

// Core Audio's host time is mach_absolute_time; the core's clock is in nanoseconds.
std::uint64_t hostTimeToNanoseconds(std::uint64_t hostTime) {
    static const mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t info{};
        mach_timebase_info(&info);
        return info;
    }();
    if (timebase.denom == 0) {
        return hostTime;
    }
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(hostTime) * timebase.numer /
                                      timebase.denom);
}

IOCycleTime cycleTime(const AudioTimeStamp* inputTime, double announcedRate) {
    IOCycleTime time;
    if (inputTime != nullptr) {
        time.sampleTimeValid = (inputTime->mFlags & ::kAudioTimeStampSampleTimeValid) != 0;
        time.hostTimeValid = (inputTime->mFlags & ::kAudioTimeStampHostTimeValid) != 0;
        time.sampleTime = inputTime->mSampleTime;
        time.hostTimeNs = time.hostTimeValid ? hostTimeToNanoseconds(inputTime->mHostTime) : 0;
    }
    time.announcedRate = announcedRate;
    return time;
}

// The frames of one I/O cycle; 0 when it cannot be read.
std::uint32_t bufferFrameSize(AudioObjectID device) {
    const AudioObjectPropertyAddress address = globalAddress(::kAudioDevicePropertyBufferFrameSize);
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) == noErr
               ? frames
               : 0;
}

// The rate a device says it runs at: its nominal rate, else its tap's format; 0 when neither reads.
double announcedRate(AudioObjectID device, AudioObjectID tap) {
    const AudioObjectPropertyAddress rateAddress =
        globalAddress(::kAudioDevicePropertyNominalSampleRate);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    if (AudioObjectGetPropertyData(device, &rateAddress, 0, nullptr, &size, &rate) == noErr &&
        rate > 0) {
        return rate;
    }
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress formatAddress = globalAddress(::kAudioTapPropertyFormat);
        ::AudioStreamBasicDescription format{};
        size = sizeof format;
        if (tap != ::kAudioObjectUnknown &&
            AudioObjectGetPropertyData(tap, &formatAddress, 0, nullptr, &size, &format) == noErr &&
            format.mSampleRate > 0) {
            return format.mSampleRate;
        }
    }
    return 0;
}

NSArray<NSNumber*>* processArray(const std::vector<AudioObjectID>& processes) {
    NSMutableArray<NSNumber*>* array = [NSMutableArray arrayWithCapacity:processes.size()];
    for (const AudioObjectID process : processes) {
        [array addObject:@(process)];
    }
    return array;
}

}  // namespace

struct CoreAudioHardware::TapRecord {
    id description = nil;  // a CATapDescription, which exists from macOS 14.2 on
    std::string uid;       // once read
};

// Core Audio keeps a copy of the block until it is removed; the queue is ours, so removal can wait
// until a call already under way has finished.
struct CoreAudioHardware::ProcessListener {
    dispatch_queue_t queue = nil;
    AudioObjectPropertyListenerBlock block = nil;
};

// One registered block: the queue Core Audio runs it on and the relay it feeds, and the listeners
// that tell it the device's rate: on the device's nominal rate, its tap's format and the system's
// default output device (which the device follows), each read again into `rate`, which the block
// hands on with every cycle.
struct CoreAudioHardware::Registration {
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
    };
    dispatch_queue_t queue = nil;
    std::shared_ptr<IOBufferRelay> relay;
    dispatch_queue_t listenerQueue = nil;
    AudioObjectPropertyListenerBlock listenerBlock = nil;
    std::vector<Listener> listeners;  // those added
    std::shared_ptr<std::atomic<double>> rate = std::make_shared<std::atomic<double>>(0.0);
};

CoreAudioHardware::CoreAudioHardware() = default;

// The two listeners that tell whether a device may be gone, on a queue of their own so that
// removal can wait for a call already under way. Core Audio keeps a copy of each block until it is
// removed.
struct CoreAudioHardware::DeviceListener {
    AudioObjectID device = ::kAudioObjectUnknown;
    dispatch_queue_t queue = nil;
    AudioObjectPropertyListenerBlock restarted = nil;  // on the system object's 'srst'
    AudioObjectPropertyListenerBlock alive = nil;      // on the device's 'livn'
    bool restartedAdded = false;
    bool aliveAdded = false;
};

CoreAudioHardware::~CoreAudioHardware() {
    while (!deviceListeners_.empty()) {
        removeDeviceEventListener(deviceListeners_.begin()->first);
    }
    while (!listeners_.empty()) {
        removeProcessListListener(listeners_.begin()->first);
    }
}

OSStatus CoreAudioHardware::readProcessIsRunningOutput(AudioObjectID process, bool& outRunning) {
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress address =
            globalAddress(::kAudioProcessPropertyIsRunningOutput);
        UInt32 running = 0;
        UInt32 size = sizeof running;
        const OSStatus status =
            AudioObjectGetPropertyData(process, &address, 0, nullptr, &size, &running);
        if (status == noErr) {
            outRunning = running != 0;
        }
        return status;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::addDeviceEventListener(AudioObjectID device, DeviceEventHandler handler,
                                                   DeviceEventListenerID& outListener) {
    auto listener = std::make_unique<DeviceListener>();
    listener->device = device;
    listener->queue =
        dispatch_queue_create("com.brinvale.qor.native-audio.device-events", DISPATCH_QUEUE_SERIAL);
    const DeviceEventHandler tell = std::move(handler);
    listener->restarted = ^(UInt32, const AudioObjectPropertyAddress*) {
      tell(DeviceEvent::serviceRestarted);
    };
    // 'livn' changes both ways; only a device that no longer reads as alive is reported.
    listener->alive = ^(UInt32, const AudioObjectPropertyAddress*) {
      const AudioObjectPropertyAddress address = globalAddress(::kAudioDevicePropertyDeviceIsAlive);
      UInt32 alive = 0;
      UInt32 size = sizeof alive;
      if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &alive) != noErr ||
          alive == 0) {
          tell(DeviceEvent::deviceDied);
      }
    };
    const AudioObjectPropertyAddress restartAddress =
        globalAddress(::kAudioHardwarePropertyServiceRestarted);
    const OSStatus restartStatus = AudioObjectAddPropertyListenerBlock(
        ::kAudioObjectSystemObject, &restartAddress, listener->queue, listener->restarted);
    listener->restartedAdded = restartStatus == noErr;
    const AudioObjectPropertyAddress aliveAddress =
        globalAddress(::kAudioDevicePropertyDeviceIsAlive);
    const OSStatus aliveStatus = AudioObjectAddPropertyListenerBlock(
        device, &aliveAddress, listener->queue, listener->alive);
    listener->aliveAdded = aliveStatus == noErr;
    if (!listener->restartedAdded && !listener->aliveAdded) {
        return aliveStatus;
    }
    outListener = nextDeviceListener_++;
    deviceListeners_[outListener] = std::move(listener);
    return noErr;
}

OSStatus CoreAudioHardware::removeDeviceEventListener(DeviceEventListenerID listener) {
    const auto found = deviceListeners_.find(listener);
    if (found == deviceListeners_.end()) {
        return ::kAudioHardwareBadObjectError;
    }
    DeviceListener& entry = *found->second;
    OSStatus status = noErr;
    if (entry.restartedAdded) {
        const AudioObjectPropertyAddress address =
            globalAddress(::kAudioHardwarePropertyServiceRestarted);
        status = AudioObjectRemovePropertyListenerBlock(::kAudioObjectSystemObject, &address,
                                                        entry.queue, entry.restarted);
    }
    if (entry.aliveAdded) {
        const AudioObjectPropertyAddress address =
            globalAddress(::kAudioDevicePropertyDeviceIsAlive);
        const OSStatus removed = AudioObjectRemovePropertyListenerBlock(entry.device, &address,
                                                                        entry.queue, entry.alive);
        status = status != noErr ? status : removed;
    }
    // A call already handed to the queue finishes before the handler's owner may go. Never called
    // on that queue (the capture removes its listeners on the main thread).
    dispatch_sync_f(entry.queue, nullptr, [](void*) {});
    deviceListeners_.erase(found);
    return status;
}

OSStatus CoreAudioHardware::createProcessTap(const TapDescription& description,
                                             AudioObjectID& outTap) {
    if (@available(macOS 14.2, *)) {
        @autoreleasepool {
            NSArray<NSNumber*>* processes = processArray(description.processes);
            CATapDescription* tap =
                description.kind == TapDescription::Kind::stereoMixdownOfProcesses
                    ? [[CATapDescription alloc] initStereoMixdownOfProcesses:processes]
                    : [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:processes];
            [tap setPrivate:description.isPrivate ? YES : NO];
            [tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)];
            [tap setName:toNSString(description.name)];

            ::AudioObjectID created = ::kAudioObjectUnknown;
            const OSStatus status = AudioHardwareCreateProcessTap(tap, &created);
            if (status == noErr) {
                outTap = created;
                auto record = std::make_unique<TapRecord>();
                record->description = tap;
                taps_[created] = std::move(record);
            }
            return status;
        }
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::readTapUID(AudioObjectID tap, std::string& outUID) {
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress address = globalAddress(::kAudioTapPropertyUID);
        CFStringRef uid = nullptr;
        UInt32 size = sizeof uid;
        const OSStatus status = AudioObjectGetPropertyData(tap, &address, 0, nullptr, &size, &uid);
        const ScopedCFString owned(uid);
        if (status != noErr) {
            return status;
        }
        outUID = uid != nullptr ? utf8(uid) : std::string();
        if (const auto found = taps_.find(tap); found != taps_.end()) {
            found->second->uid = outUID;
        }
        return noErr;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::readTapFormat(AudioObjectID tap,
                                          AudioStreamBasicDescription& outFormat) {
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress address = globalAddress(::kAudioTapPropertyFormat);
        ::AudioStreamBasicDescription format{};
        UInt32 size = sizeof format;
        const OSStatus status =
            AudioObjectGetPropertyData(tap, &address, 0, nullptr, &size, &format);
        if (status == noErr) {
            outFormat = std::bit_cast<AudioStreamBasicDescription>(format);
        }
        return status;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::translatePIDToProcessObject(std::int32_t pid,
                                                        AudioObjectID& outObject) {
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress address =
            globalAddress(::kAudioHardwarePropertyTranslatePIDToProcessObject);
        const pid_t qualifier = pid;
        ::AudioObjectID object = ::kAudioObjectUnknown;
        UInt32 size = sizeof object;
        const OSStatus status = AudioObjectGetPropertyData(
            ::kAudioObjectSystemObject, &address, sizeof qualifier, &qualifier, &size, &object);
        if (status == noErr) {
            outObject = object;
        }
        return status;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::readProcessList(std::vector<AudioProcess>& outProcesses) {
    if (@available(macOS 14.2, *)) {
        const AudioObjectPropertyAddress listAddress =
            globalAddress(::kAudioHardwarePropertyProcessObjectList);
        UInt32 size = 0;
        OSStatus status = AudioObjectGetPropertyDataSize(::kAudioObjectSystemObject, &listAddress,
                                                         0, nullptr, &size);
        if (status != noErr) {
            return status;
        }
        std::vector<::AudioObjectID> objects(size / sizeof(::AudioObjectID));
        size = static_cast<UInt32>(objects.size() * sizeof(::AudioObjectID));
        if (!objects.empty()) {
            // A list that grew in between is read short; its change is announced again.
            status = AudioObjectGetPropertyData(::kAudioObjectSystemObject, &listAddress, 0,
                                                nullptr, &size, objects.data());
            if (status != noErr) {
                return status;
            }
            objects.resize(size / sizeof(::AudioObjectID));
        }
        const AudioObjectPropertyAddress pidAddress = globalAddress(::kAudioProcessPropertyPID);
        std::vector<AudioProcess> processes;
        processes.reserve(objects.size());
        for (const ::AudioObjectID object : objects) {
            pid_t pid = 0;
            UInt32 pidSize = sizeof pid;
            // An object whose process has just gone answers with an error: it is no longer listed.
            if (AudioObjectGetPropertyData(object, &pidAddress, 0, nullptr, &pidSize, &pid) ==
                    noErr &&
                pid > 0) {
                processes.push_back({object, pid});
            }
        }
        outProcesses = std::move(processes);
        return noErr;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::addProcessListListener(ProcessListHandler handler,
                                                   ProcessListListenerID& outListener) {
    if (@available(macOS 14.2, *)) {
        auto listener = std::make_unique<ProcessListener>();
        listener->queue = dispatch_queue_create("com.brinvale.qor.native-audio.process-list",
                                                DISPATCH_QUEUE_SERIAL);
        const ProcessListHandler changed = std::move(handler);
        listener->block = ^(UInt32, const AudioObjectPropertyAddress*) {
          changed();
        };
        const AudioObjectPropertyAddress address =
            globalAddress(::kAudioHardwarePropertyProcessObjectList);
        const OSStatus status = AudioObjectAddPropertyListenerBlock(
            ::kAudioObjectSystemObject, &address, listener->queue, listener->block);
        if (status != noErr) {
            return status;
        }
        outListener = nextListener_++;
        listeners_[outListener] = std::move(listener);
        return noErr;
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::removeProcessListListener(ProcessListListenerID listener) {
    const auto found = listeners_.find(listener);
    if (found == listeners_.end()) {
        return ::kAudioHardwareBadObjectError;
    }
    const AudioObjectPropertyAddress address =
        globalAddress(::kAudioHardwarePropertyProcessObjectList);
    const OSStatus status = AudioObjectRemovePropertyListenerBlock(
        ::kAudioObjectSystemObject, &address, found->second->queue, found->second->block);
    // A call already handed to the queue finishes before the handler's owner may go. Never called
    // on that queue (the capture removes its listener on the main thread).
    dispatch_sync_f(found->second->queue, nullptr, [](void*) {});
    listeners_.erase(found);
    return status;
}

OSStatus CoreAudioHardware::setTapDescription(AudioObjectID tap,
                                              const TapDescription& description) {
    if (@available(macOS 14.2, *)) {
        const auto found = taps_.find(tap);
        if (found == taps_.end()) {
            return ::kAudioHardwareBadObjectError;
        }
        @autoreleasepool {
            CATapDescription* updated = found->second->description;
            [updated setProcesses:processArray(description.processes)];
            const AudioObjectPropertyAddress address =
                globalAddress(::kAudioTapPropertyDescription);
            return AudioObjectSetPropertyData(tap, &address, 0, nullptr, sizeof updated, &updated);
        }
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

OSStatus CoreAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                  AudioObjectID& outDevice) {
    @autoreleasepool {
        NSMutableArray<NSDictionary*>* taps =
            [NSMutableArray arrayWithCapacity:description.taps.size()];
        for (const auto& tap : description.taps) {
            [taps addObject:@{
                @kAudioSubTapUIDKey : toNSString(tap.uid),
                @kAudioSubTapDriftCompensationKey : @(tap.driftCompensation),
            }];
        }
        NSMutableDictionary* dictionary = [@{
            @kAudioAggregateDeviceNameKey : toNSString(description.name),
            @kAudioAggregateDeviceUIDKey : toNSString(description.uid),
            @kAudioAggregateDeviceIsPrivateKey : @(description.isPrivate),
            @kAudioAggregateDeviceIsStackedKey : @(description.isStacked),
            @kAudioAggregateDeviceTapListKey : taps,
        } mutableCopy];
        // An empty main sub-device or clock is left out: the device is the tap alone.
        if (!description.mainSubDevice.empty()) {
            dictionary[@kAudioAggregateDeviceMainSubDeviceKey] =
                toNSString(description.mainSubDevice);
        }
        if (!description.clockDevice.empty()) {
            dictionary[@kAudioAggregateDeviceClockDeviceKey] = toNSString(description.clockDevice);
        }
        ::AudioObjectID created = ::kAudioObjectUnknown;
        const OSStatus status =
            AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)dictionary, &created);
        if (status == noErr) {
            outDevice = created;
            for (const auto& [tap, record] : taps_) {
                if (!description.taps.empty() && record->uid == description.taps.front().uid) {
                    deviceTaps_[created] = tap;
                }
            }
        }
        return status;
    }
}

OSStatus CoreAudioHardware::readDeviceSampleRate(AudioObjectID device, double& outRate) {
    const AudioObjectPropertyAddress address =
        globalAddress(::kAudioDevicePropertyNominalSampleRate);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const OSStatus status = AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate);
    if (status == noErr) {
        outRate = rate;
    }
    return status;
}

// A vanished audio server is not reported here: on macOS a capture keeps running until the host
// ends it with a signal, so `lost` is never called.
OSStatus CoreAudioHardware::createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue,
                                                    IOBlock block, DeviceLostHandler /*lost*/,
                                                    IOProcID& outProc) {
    auto registration = std::make_unique<Registration>();
    dispatch_queue_attr_t attributes = dispatch_queue_attr_make_with_qos_class(
        DISPATCH_QUEUE_SERIAL, QOS_CLASS_USER_INTERACTIVE, 0);
    registration->queue = dispatch_queue_create(queue.label().c_str(), attributes);
    registration->relay =
        IOBufferRelay::create(queue, std::move(block),
                              IOBufferRelay::slotsFor(announcedRate(device, kAudioObjectUnknown),
                                                      bufferFrameSize(device)));

    // Core Audio runs this on the dispatch queue above; the relay copies the cycle and posts it to
    // the capture's I/O queue, where the I/O block runs (see IOBufferRelay.h for why).
    const std::shared_ptr<IOBufferRelay> relay = registration->relay;
    const std::shared_ptr<std::atomic<double>> rate = registration->rate;
    AudioDeviceIOBlock ioBlock =
        ^(const AudioTimeStamp*, const ::AudioBufferList* input, const AudioTimeStamp* inputTime,
          ::AudioBufferList*, const AudioTimeStamp*) {
          if (input != nullptr) {
              relay->deliver(*reinterpret_cast<const qor::AudioBufferList*>(input),
                             cycleTime(inputTime, rate->load(std::memory_order_relaxed)));
          }
        };

    AudioDeviceIOProcID proc = nullptr;
    const OSStatus status =
        AudioDeviceCreateIOProcIDWithBlock(&proc, device, registration->queue, ioBlock);
    if (status != noErr) {
        registration->relay->close();
        return status;
    }
    listenForRate(*registration, device);
    const auto handle = reinterpret_cast<IOProcID>(proc);
    registrations_[handle] = std::move(registration);
    outProc = handle;
    return noErr;
}

// A listener that cannot be added is done without: the core measures the delivered rate from the
// cycles' clocks anyway, so a change is still followed, only later.
void CoreAudioHardware::listenForRate(Registration& registration, AudioObjectID device) {
    const auto found = deviceTaps_.find(device);
    const AudioObjectID tap = found != deviceTaps_.end() ? found->second : ::kAudioObjectUnknown;
    registration.rate->store(announcedRate(device, tap), std::memory_order_relaxed);
    registration.listenerQueue =
        dispatch_queue_create("com.brinvale.qor.native-audio.device-rate", DISPATCH_QUEUE_SERIAL);
    const std::shared_ptr<std::atomic<double>> rate = registration.rate;
    registration.listenerBlock = ^(UInt32, const AudioObjectPropertyAddress*) {
      rate->store(announcedRate(device, tap), std::memory_order_relaxed);
    };
    std::vector<Registration::Listener> wanted = {
        {device, globalAddress(::kAudioDevicePropertyNominalSampleRate)},
        {::kAudioObjectSystemObject, globalAddress(::kAudioHardwarePropertyDefaultOutputDevice)},
    };
    if (tap != ::kAudioObjectUnknown) {
        wanted.push_back({tap, globalAddress(::kAudioTapPropertyFormat)});
    }
    for (const auto& listener : wanted) {
        if (AudioObjectAddPropertyListenerBlock(listener.object, &listener.address,
                                                registration.listenerQueue,
                                                registration.listenerBlock) == noErr) {
            registration.listeners.push_back(listener);
        }
    }
}

void CoreAudioHardware::stopListeningForRate(Registration& registration) {
    for (const auto& listener : registration.listeners) {
        AudioObjectRemovePropertyListenerBlock(listener.object, &listener.address,
                                               registration.listenerQueue,
                                               registration.listenerBlock);
    }
    registration.listeners.clear();
    // A notification already handed to the queue finishes before its state may go.
    if (registration.listenerQueue != nil) {
        dispatch_sync_f(registration.listenerQueue, nullptr, [](void*) {});
    }
}

OSStatus CoreAudioHardware::deviceStart(AudioObjectID device, IOProcID proc) {
    return AudioDeviceStart(device, toProcID(proc));
}

OSStatus CoreAudioHardware::deviceStop(AudioObjectID device, IOProcID proc) {
    return AudioDeviceStop(device, toProcID(proc));
}

OSStatus CoreAudioHardware::destroyIOProcID(AudioObjectID device, IOProcID proc) {
    const OSStatus status = AudioDeviceDestroyIOProcID(device, toProcID(proc));
    if (const auto found = registrations_.find(proc); found != registrations_.end()) {
        // A cycle Core Audio handed to the queue just before may still be copying: wait it out, so
        // nothing reaches the I/O queue once the capture has let go of its proc. Never called on
        // that queue (the capture releases its procs on the main thread).
        found->second->relay->close();
        dispatch_sync_f(found->second->queue, nullptr, [](void*) {});
        stopListeningForRate(*found->second);
        registrations_.erase(found);
    }
    return status;
}

OSStatus CoreAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    deviceTaps_.erase(device);
    return AudioHardwareDestroyAggregateDevice(device);
}

OSStatus CoreAudioHardware::destroyProcessTap(AudioObjectID tap) {
    if (@available(macOS 14.2, *)) {
        taps_.erase(tap);
        return AudioHardwareDestroyProcessTap(tap);
    }
    return ::kAudioHardwareUnsupportedOperationError;
}

}  // namespace qor::macos
