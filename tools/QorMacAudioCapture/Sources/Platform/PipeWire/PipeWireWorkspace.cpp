#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "PipeWireBackend.h"
#include "PipeWirePlatform.h"

namespace qor::pipewire {

namespace {

// A process that has exited but is not yet reaped (a zombie) counts as terminated.
bool processExists(std::int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    // The state follows the parenthesised command name, which may itself hold parentheses.
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
           line[close + 2] != 'X';
}

}  // namespace

std::vector<RunningApplication> PipeWireWorkspace::runningApplications() {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return {};
    }
    std::vector<RunningApplication> applications;
    connection->perform([&] {
        const OSStatus refreshed = connection->refresh(Connection::Clock::now() + kServerTimeout);
        if (refreshed == kAudioHardwareNoError) {
            applications =
                applicationsOf(connection->graph(), ownProcessIdentifier(), processExists);
        }
        return refreshed;
    });
    return applications;
}

std::int32_t PipeWireWorkspace::ownProcessIdentifier() {
    return static_cast<std::int32_t>(::getpid());
}

std::optional<std::int32_t> PipeWireWorkspace::parentProcessIdentifier(std::int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line)) {
        return std::nullopt;
    }
    // "pid (command) state ppid ...": the command may itself hold parentheses and blanks.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    std::int32_t parent = 0;
    if (!(rest >> state >> parent) || parent < 0) {
        return std::nullopt;
    }
    return parent;
}

bool PipeWireSystemSupport::captureSupported() {
    OSStatus status = kAudioHardwareNoError;
    bool opened = false;
    auto connection = connectionCache_.connection(status, &opened);
    if (connection == nullptr) {
        return false;
    }
    bool supported = false;
    connection->perform([&] {
        // A connection opened just now has had its answers; an older one must answer again.
        const OSStatus synced = opened
                                    ? kAudioHardwareNoError
                                    : connection->sync(Connection::Clock::now() + kServerTimeout);
        supported = synced == kAudioHardwareNoError &&
                    versionAtLeast(connection->serverVersion(), kMinimumServerVersion);
        return synced;
    });
    return supported;
}

}  // namespace qor::pipewire
