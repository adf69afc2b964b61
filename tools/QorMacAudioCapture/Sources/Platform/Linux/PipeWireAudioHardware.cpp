#include <algorithm>

#include "PipeWireBackend.h"

namespace qor::pipewire {

namespace {

using Clock = Connection::Clock;

// Teardown flushes what it sent, but never waits long on a server that may be gone.
constexpr std::chrono::milliseconds kTeardownTimeout{1000};

}  // namespace

// Tells the core when the set of described clients (the audio process objects) changed. Lives on
// its connection's loop owner once added; graph changes arrive there for every port and link, so
// it compares before it calls.
class PipeWireAudioHardware::ProcessListWatch final : public ConnectionObserver {
  public:
    ProcessListWatch(std::shared_ptr<Connection> connection, ProcessListHandler handler)
        : connection_(std::move(connection)), handler_(std::move(handler)) {}

    const std::shared_ptr<Connection>& connection() const { return connection_; }
    void start() {
        seen_ = processesOf(connection_->graph());
        connection_->addObserver(this);
    }
    void stop() { connection_->removeObserver(this); }

    void graphChanged() override {
        auto processes = processesOf(connection_->graph());
        if (processes != seen_) {
            seen_ = std::move(processes);
            handler_();
        }
    }
    void connectionLost() override {}

  private:
    const std::shared_ptr<Connection> connection_;
    const ProcessListHandler handler_;
    std::vector<AudioProcess> seen_;  // the loop owner's
};

std::shared_ptr<Connection> ConnectionCache::connection(OSStatus& status) {
    if (current_ != nullptr && !current_->lost()) {
        status = kAudioHardwareNoError;
        return current_;
    }
    current_ = Connection::open(status);
    return current_;
}

template <class T>
T* PipeWireAudioHardware::find(std::uintptr_t handle) {
    auto found = handles_.find(handle);
    return found == handles_.end() ? nullptr : std::get_if<T>(&found->second);
}

template <class T>
std::vector<std::uintptr_t> PipeWireAudioHardware::handlesOf() const {
    std::vector<std::uintptr_t> handles;
    for (const auto& [handle, entry] : handles_) {
        if (std::holds_alternative<T>(entry)) {
            handles.push_back(handle);
        }
    }
    return handles;
}

PipeWireAudioHardware::~PipeWireAudioHardware() {
    for (std::uintptr_t listener : handlesOf<std::shared_ptr<ProcessListWatch>>()) {
        removeProcessListListener(listener);
    }
    for (std::uintptr_t tap : handlesOf<std::shared_ptr<CaptureTap>>()) {
        destroyProcessTap(static_cast<AudioObjectID>(tap));
    }
}

OSStatus PipeWireAudioHardware::createProcessTap(const TapDescription& description,
                                                 AudioObjectID& outTap) {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return status;
    }
    std::shared_ptr<CaptureTap> tap;
    status = connection->perform([&] {
        const auto deadline = Clock::now() + kServerTimeout;
        if (const OSStatus refreshed = connection->refresh(deadline); refreshed != 0) {
            return refreshed;
        }
        const std::string uid = description.name.empty()
                                    ? "QorCapture-" + std::to_string(nextHandle_)
                                    : description.name;
        auto candidate = std::make_shared<CaptureTap>(
            connection, selectionFor(connection->graph(), description), uid, connection->rate());
        const OSStatus opened = candidate->open(deadline);
        if (opened != kAudioHardwareNoError) {
            candidate->close();
            return opened;
        }
        tap = std::move(candidate);
        return kAudioHardwareNoError;
    });
    if (status != kAudioHardwareNoError) {
        return status;
    }
    outTap = tap->node();
    handles_[outTap] = std::move(tap);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::readTapUID(AudioObjectID tap, std::string& outUID) {
    const auto* found = find<std::shared_ptr<CaptureTap>>(tap);
    if (found == nullptr) {
        return kStatusUnknownObject;
    }
    outUID = (*found)->uid();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::readTapFormat(AudioObjectID tap,
                                              AudioStreamBasicDescription& outFormat) {
    const auto* found = find<std::shared_ptr<CaptureTap>>(tap);
    if (found == nullptr) {
        return kStatusUnknownObject;
    }
    outFormat = (*found)->format();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::translatePIDToProcessObject(std::int32_t pid,
                                                            AudioObjectID& outObject) {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return status;
    }
    AudioObjectID object = kAudioObjectUnknown;
    status = connection->perform([&] {
        if (const OSStatus refreshed = connection->refresh(Clock::now() + kServerTimeout);
            refreshed != 0) {
            return refreshed;
        }
        object = processObjectOf(connection->graph(), pid);
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outObject = object;
    }
    return status;
}

OSStatus PipeWireAudioHardware::readProcessList(std::vector<AudioProcess>& outProcesses) {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return status;
    }
    std::vector<AudioProcess> processes;
    status = connection->perform([&] {
        if (const OSStatus refreshed = connection->refresh(Clock::now() + kServerTimeout);
            refreshed != 0) {
            return refreshed;
        }
        processes = processesOf(connection->graph());
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outProcesses = std::move(processes);
    }
    return status;
}

OSStatus PipeWireAudioHardware::readProcessIsRunningOutput(AudioObjectID process,
                                                           bool& outRunning) {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return status;
    }
    bool running = false;
    status = connection->perform([&] {
        // The streams' states arrive as they change; what has arrived is enough.
        connection->dispatchPending();
        const Graph& graph = connection->graph();
        const auto client = graph.clients.find(process);
        if (client == graph.clients.end()) {
            return kStatusUnknownObject;
        }
        const std::optional<std::int32_t> pid = processIdentifierOf(client->second.properties);
        for (const auto& [node, properties] : graph.nodes) {
            if (!isPlaybackStream(properties) || !connection->streamRunning(node)) {
                continue;
            }
            const auto owner = graph.clients.find(
                unsignedProperty(properties, "client.id").value_or(SPA_ID_INVALID));
            if (owner != graph.clients.end() &&
                (owner->first == process ||
                 (pid && processIdentifierOf(owner->second.properties) == pid))) {
                running = true;
            }
        }
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outRunning = running;
    }
    return status;
}

OSStatus PipeWireAudioHardware::addProcessListListener(ProcessListHandler handler,
                                                       ProcessListListenerID& outListener) {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return status;
    }
    auto watch = std::make_shared<ProcessListWatch>(connection, std::move(handler));
    status = connection->perform([&] {
        watch->start();
        return kAudioHardwareNoError;
    });
    if (status != kAudioHardwareNoError) {
        return status;
    }
    outListener = nextHandle_++;
    handles_[outListener] = std::move(watch);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::removeProcessListListener(ProcessListListenerID listener) {
    auto* found = find<std::shared_ptr<ProcessListWatch>>(listener);
    if (found == nullptr) {
        return kStatusUnknownObject;
    }
    auto watch = std::move(*found);
    handles_.erase(listener);
    const OSStatus status = watch->connection()->perform([&] {
        watch->stop();
        return kAudioHardwareNoError;
    });
    if (status == kStatusQueueTimeout) {
        // The stuck queue may still call it: it must outlive the process.
        static auto* abandoned = new std::vector<std::shared_ptr<ProcessListWatch>>;
        abandoned->push_back(std::move(watch));
    }
    return status;
}

OSStatus PipeWireAudioHardware::setTapDescription(AudioObjectID tap,
                                                  const TapDescription& description) {
    const auto* found = find<std::shared_ptr<CaptureTap>>(tap);
    if (found == nullptr) {
        return kStatusUnknownObject;
    }
    auto captureTap = *found;
    const auto& connection = captureTap->connection();
    return connection->perform([&] {
        captureTap->setSelection(selectionFor(connection->graph(), description));
        // Returns once the server has the new links, like the tap's creation.
        return connection->sync(Clock::now() + kServerTimeout);
    });
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                      AudioObjectID& outDevice) {
    if (description.taps.size() != 1) {
        return kStatusUnknownTap;
    }
    for (std::uintptr_t handle : handlesOf<std::shared_ptr<CaptureTap>>()) {
        auto tap = *find<std::shared_ptr<CaptureTap>>(handle);
        if (tap->uid() == description.taps.front().uid) {
            outDevice = static_cast<AudioObjectID>(nextHandle_++);
            handles_[outDevice] = Device{std::move(tap), 0};
            return kAudioHardwareNoError;
        }
    }
    return kStatusUnknownTap;
}

OSStatus PipeWireAudioHardware::readDeviceSampleRate(AudioObjectID device, double& outRate) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    const auto& connection = entry->tap->connection();
    std::uint32_t rate = 0;
    const OSStatus status = connection->perform([&] {
        if (const OSStatus refreshed = connection->refresh(Clock::now() + kServerTimeout);
            refreshed != 0) {
            return refreshed;
        }
        rate = connection->rate();
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outRate = rate;
    }
    return status;
}

OSStatus PipeWireAudioHardware::createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue,
                                                        IOBlock block, DeviceLostHandler lost,
                                                        IOProcID& outProc) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    if (entry->proc != 0) {
        return kStatusIOProcMismatch;
    }
    auto tap = entry->tap;
    const auto& connection = tap->connection();
    OSStatus status = connection->perform([&] {
        tap->setHandlers(std::move(block), std::move(lost));
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        status = connection->attach(queue);
    }
    if (status != kAudioHardwareNoError) {
        connection->perform([&] {
            tap->clearHandlers();
            return kAudioHardwareNoError;
        });
        return status;
    }
    entry->proc = nextProc_++;
    outProc = entry->proc;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID device, IOProcID proc) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    if (entry->proc == 0 || entry->proc != proc) {
        return kStatusIOProcMismatch;
    }
    auto tap = entry->tap;
    return tap->connection()->perform([&] { return tap->setActive(true); });
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID device, IOProcID) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    auto tap = entry->tap;
    return tap->connection()->perform([&] { return tap->setActive(false); });
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID device, IOProcID proc) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    if (entry->proc == 0 || entry->proc != proc) {
        return kStatusIOProcMismatch;
    }
    auto tap = entry->tap;
    entry->proc = 0;
    // The queue keeps the loop until the tap's node is gone (see destroyProcessTap).
    return tap->connection()->perform([&] {
        tap->clearHandlers();
        return kAudioHardwareNoError;
    });
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    Device* entry = find<Device>(device);
    if (entry == nullptr) {
        return kStatusUnknownObject;
    }
    if (entry->proc != 0) {
        destroyIOProcID(device, entry->proc);
    }
    deviceStop(device, 0);
    handles_.erase(device);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tap) {
    const auto* found = find<std::shared_ptr<CaptureTap>>(tap);
    if (found == nullptr) {
        return kStatusUnknownObject;
    }
    auto captureTap = *found;
    for (std::uintptr_t device : handlesOf<Device>()) {
        if (find<Device>(device)->tap == captureTap) {
            destroyAggregateDevice(static_cast<AudioObjectID>(device));
        }
    }
    handles_.erase(tap);
    auto connection = captureTap->connection();
    const OSStatus status = connection->perform([&] {
        captureTap->close();
        // Hand the server our destroy requests now rather than at the next use of the loop.
        connection->sync(Clock::now() + kTeardownTimeout);
        return kAudioHardwareNoError;
    });
    if (status == kStatusQueueTimeout) {
        // A stuck queue still owns the loop: the tap may only be closed there, which will never
        // happen. Keep it; the server drops its node and links when the process ends.
        static auto* abandoned = new std::vector<std::shared_ptr<CaptureTap>>;
        abandoned->push_back(std::move(captureTap));
        return status;
    }
    // With no capture node left on the connection nothing can arrive in the hand-over, so the main
    // thread takes the loop back from the I/O queue, which may go away after this.
    const auto taps = handlesOf<std::shared_ptr<CaptureTap>>();
    const bool connectionInUse = std::any_of(taps.begin(), taps.end(), [&](std::uintptr_t other) {
        return (*find<std::shared_ptr<CaptureTap>>(other))->connection() == connection;
    });
    if (!connectionInUse) {
        connection->detach();
    }
    return status;
}

}  // namespace qor::pipewire
