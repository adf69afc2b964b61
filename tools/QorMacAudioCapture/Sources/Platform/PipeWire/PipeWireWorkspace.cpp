#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>

#include "PipeWireBackend.h"
#include "PipeWirePlatform.h"

namespace qor::pipewire {

namespace {

// What follows the command name in /proc/<pid>/stat ("pid (command) state ppid ..."): the command
// is parenthesised and may itself hold parentheses and blanks, so the last ')' ends it. Read with
// plain system calls: the stream library would bring its locale machinery into the program.
std::optional<std::string> statusAfterCommand(std::int32_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string line(1024, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == line.size()) {
            line.resize(line.size() * 2);
        }
        const ssize_t count = ::read(fd, line.data() + size, line.size() - size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        size += static_cast<std::size_t>(count);
    }
    ::close(fd);
    line.resize(size);
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    return line.substr(close + 1);
}

// A process that has exited but is not yet reaped (a zombie) counts as terminated.
bool processExists(std::int32_t pid) {
    const auto rest = statusAfterCommand(pid);
    return rest && rest->size() > 1 && (*rest)[1] != 'Z' && (*rest)[1] != 'X';
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
    // " state ppid ...": one blank, the state letter, one blank, the parent's pid.
    const auto rest = statusAfterCommand(pid);
    if (!rest || rest->size() < 4 || (*rest)[0] != ' ' || (*rest)[2] != ' ') {
        return std::nullopt;
    }
    std::int32_t parent = 0;
    const char* first = rest->data() + 3;
    const char* last = rest->data() + rest->size();
    const auto [end, error] = std::from_chars(first, last, parent);
    if (error != std::errc{} || end == first || parent < 0 || (end != last && *end != ' ')) {
        return std::nullopt;
    }
    return parent;
}

bool PipeWireSystemSupport::captureSupported() {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return false;
    }
    bool supported = false;
    connection->perform([&] {
        const OSStatus synced =
            connection->syncUnlessFresh(Connection::Clock::now() + kServerTimeout);
        supported = synced == kAudioHardwareNoError &&
                    versionAtLeast(connection->serverVersion(), kMinimumServerVersion);
        return synced;
    });
    return supported;
}

}  // namespace qor::pipewire
