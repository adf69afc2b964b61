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

// The file a process runs; nothing when it is gone or not ours to read.
std::optional<std::string> executableOf(std::int32_t pid) {
    std::string path(4096, '\0');
    const ssize_t size =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path.data(), path.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= path.size()) {
        return std::nullopt;
    }
    path.resize(static_cast<std::size_t>(size));
    return path;
}

}  // namespace

// The topmost ancestor that runs the same file. Browsers and Electron applications play from an
// audio service, a child running the application's own executable that they restart after a crash
// or when it idles out; the application itself stays.
std::int32_t PipeWireWorkspace::applicationProcessOf(std::int32_t pid) {
    const auto executable = executableOf(pid);
    std::int32_t application = pid;
    // Far deeper than any real chain; ends the walk if the table ever loops.
    for (int depth = 0; executable && depth < 64; ++depth) {
        const auto parent = parentProcessIdentifier(application);
        if (!parent || *parent <= 1 || *parent == application ||
            executableOf(*parent) != executable) {
            break;
        }
        application = *parent;
    }
    return application;
}

std::vector<RunningApplication> PipeWireWorkspace::runningApplications() {
    OSStatus status = kAudioHardwareNoError;
    auto connection = connectionCache_.connection(status);
    if (connection == nullptr) {
        return {};
    }
    // The clients are copied where the loop runs (during a capture, the I/O queue); the processes
    // behind them are read from /proc here, off that thread.
    Graph clients;
    const OSStatus read = connection->perform([&] {
        const OSStatus refreshed = connection->refresh(Connection::Clock::now() + kServerTimeout);
        if (refreshed == kAudioHardwareNoError) {
            clients.clients = connection->graph().clients;
        }
        return refreshed;
    });
    if (read != kAudioHardwareNoError) {
        return {};
    }
    return applicationsOf(clients, ownProcessIdentifier(), processExists,
                          [this](std::int32_t pid) { return applicationProcessOf(pid); });
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
