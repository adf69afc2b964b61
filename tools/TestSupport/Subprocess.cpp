#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace qor::testing {

namespace {
void closeIfOpen(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}
}  // namespace

Subprocess::Subprocess(std::vector<std::string> arguments, Environment environment,
                       SpawnOptions options) {
    // A child that stops reading its input must fail our write, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.output == Stdout::socketPair) {
        ::close(out[0]);
        ::close(out[1]);
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0) {
            throw std::runtime_error("socketpair failed");
        }
    }
    if (options.output == Stdout::deviceFull || options.output == Stdout::file) {
        ::close(out[1]);
        out[1] =
            options.output == Stdout::file
                ? ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                : ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    if (options.output != Stdout::captured && options.output != Stdout::socketPair) {
        ::close(out[0]);
        out[0] = -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : options.closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }

    // The child starts with default dispositions, whatever the test runner set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& name : options.unset) {
        merged.erase(name);
    }
    for (auto& [key, value] : environment) {
        merged[key] = value;
    }
    std::vector<std::string> envText;
    for (auto& [key, value] : merged) {
        envText.push_back(key + "=" + value);
    }
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    for (auto& entry : envText) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const int spawned =
        posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(in[1]);
        closeIfOpen(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + arguments[0]);
    }
    stdinFd_ = in[1];
    if (!options.keepStdinOpen) {
        closeIfOpen(stdinFd_);
    } else {
        ::fcntl(stdinFd_, F_SETFL, O_NONBLOCK);  // writeStdin() keeps to its timeout
    }
    if (out[0] >= 0) {
        outReader_ = std::thread([this, fd = out[0]] { readInto(fd, out_, &outPaused_); });
    }
    errReader_ = std::thread([this, fd = err[0]] { readInto(fd, err_, nullptr); });
}

Subprocess::~Subprocess() {
    if (!waited_) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeIfOpen(stdinFd_);
}

void Subprocess::pauseStdout(bool paused) {
    outPaused_ = paused;
}

void Subprocess::readInto(int fd, std::string& sink, const std::atomic<bool>* paused) {
    char buffer[65536];
    for (;;) {
        if (paused != nullptr && paused->load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        std::lock_guard guard(mutex_);
        sink.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
}

void Subprocess::sendSignal(int signal) const {
    ::kill(pid_, signal);
}

std::size_t Subprocess::writeStdin(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (stdinFd_ >= 0 && done < bytes.size()) {
        const ssize_t count = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (count >= 0 || errno != EAGAIN || left.count() <= 0) {
            break;
        }
        pollfd writable{stdinFd_, POLLOUT, 0};
        ::poll(&writable, 1, static_cast<int>(left.count()));
    }
    return done;
}

bool Subprocess::running() const {
    siginfo_t info{};
    return !waited_ &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void Subprocess::closeStdin() {
    closeIfOpen(stdinFd_);
}

std::string Subprocess::describe() const {
    std::string state;
    siginfo_t info{};
    if (waited_) {
        state = "already waited for";
    } else if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        state = "unknown";
    } else if (info.si_pid == 0) {
        state = "still running:" + threadWaits(pid_);
    } else if (info.si_code == CLD_EXITED) {
        state = "exited with status " + std::to_string(info.si_status);
    } else {
        state = "ended by signal " + std::to_string(info.si_status);
    }
    return "pid " + std::to_string(pid_) + " " + state + "; standard error: " + err();
}

std::string threadWaits(int pid) {
    std::string threads;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::string name, stat, wchan;
        std::getline(std::ifstream(task.path() / "comm"), name);
        std::getline(std::ifstream(task.path() / "stat"), stat);
        std::ifstream(task.path() / "wchan") >> wchan;
        const auto close = stat.rfind(')');
        const char status =
            close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
        threads += " [" + name + " " + status + " " + wchan + "]";
    }
    return threads;
}

std::string Subprocess::out() const {
    std::lock_guard guard(mutex_);
    return out_;
}

std::string Subprocess::err() const {
    std::lock_guard guard(mutex_);
    return err_;
}

bool Subprocess::waitForStderr(const std::function<bool(const std::string&)>& predicate,
                               std::chrono::milliseconds timeout) {
    return waitFor(&Subprocess::err_, predicate, timeout);
}

bool Subprocess::waitForStdout(const std::function<bool(const std::string&)>& predicate,
                               std::chrono::milliseconds timeout) {
    return waitFor(&Subprocess::out_, predicate, timeout);
}

bool Subprocess::waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout) {
    return waitForStdout([count](const std::string& out) { return out.size() >= count; }, timeout);
}

bool Subprocess::waitFor(std::string Subprocess::*stream,
                         const std::function<bool(const std::string&)>& predicate,
                         std::chrono::milliseconds timeout) {
    const auto holds = [&] {
        std::lock_guard guard(mutex_);
        return predicate(this->*stream);
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (holds()) {
            return true;
        }
        if (!running()) {
            if (!waited_) {
                // What it wrote last may still be in the pipe.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return holds();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<std::string> Subprocess::readStdoutLine(std::chrono::milliseconds timeout) {
    return readLine(&Subprocess::out_, nextOutLine_, timeout);
}

std::optional<std::string> Subprocess::readStderrLine(std::chrono::milliseconds timeout) {
    return readLine(&Subprocess::err_, nextErrLine_, timeout);
}

std::optional<std::string> Subprocess::readLine(std::string Subprocess::*stream, std::size_t& next,
                                                std::chrono::milliseconds timeout) {
    std::optional<std::string> line;
    waitFor(
        stream,
        [&](const std::string& text) {
            const std::size_t end = text.find('\n', next);
            if (end == std::string::npos) {
                return false;
            }
            line = text.substr(next, end - next);
            next = end + 1;
            return true;
        },
        timeout);
    return line;
}

ProcessResult Subprocess::wait(std::chrono::milliseconds timeout) {
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid_, SIGKILL);
            ::wait4(pid_, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waited_ = true;
    if (stdinFd_ >= 0) {
        int unread = 0;
        ::ioctl(stdinFd_, FIONREAD, &unread);
        result.stdinUnread = static_cast<std::size_t>(unread);
    }
    closeIfOpen(stdinFd_);
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.deathSignal = WTERMSIG(status);
    }
    result.out = out();
    result.err = err();
    result.peakResidentKiB = usage.ru_maxrss;
    return result;
}

ProcessResult runProcess(std::vector<std::string> arguments, Environment environment,
                         const std::string& stdinBytes, std::chrono::milliseconds timeout) {
    Subprocess process(std::move(arguments), std::move(environment),
                       {.keepStdinOpen = !stdinBytes.empty()});
    if (!stdinBytes.empty()) {
        process.writeStdin(stdinBytes);
        process.closeStdin();
    }
    return process.wait(timeout);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool processEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const auto state = text.rfind(") ");
    return text.empty() || (state != std::string::npos && text[state + 2] == 'Z');
}

bool waitForProcessEnd(int pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!processEnded(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace qor::testing
