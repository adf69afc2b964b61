#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

Subprocess::Subprocess(std::vector<std::string> arguments,
                       std::map<std::string, std::string> environment, bool keepStdinOpen) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

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
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + arguments[0]);
    }
    stdinFd_ = in[1];
    if (!keepStdinOpen) {
        closeIfOpen(stdinFd_);
    }
    outReader_ = std::thread([this, fd = out[0]] { readInto(fd, out_); });
    errReader_ = std::thread([this, fd = err[0]] { readInto(fd, err_); });
}

Subprocess::~Subprocess() {
    if (!waited_) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeIfOpen(stdinFd_);
}

void Subprocess::readInto(int fd, std::string& sink) {
    char buffer[65536];
    for (;;) {
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

void Subprocess::writeStdin(const std::string& bytes) {
    std::size_t done = 0;
    while (stdinFd_ >= 0 && done < bytes.size()) {
        const ssize_t count = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
}

void Subprocess::closeStdin() {
    closeIfOpen(stdinFd_);
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate(err())) {
            return true;
        }
        int status = 0;
        if (!waited_ && ::waitpid(pid_, &status, WNOHANG | WNOWAIT) == pid_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return predicate(err());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool Subprocess::waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard guard(mutex_);
            if (out_.size() >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

ProcessResult Subprocess::wait(std::chrono::milliseconds timeout) {
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waited_ = true;
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
    return result;
}

ProcessResult runProcess(std::vector<std::string> arguments,
                         std::map<std::string, std::string> environment,
                         const std::string& stdinBytes, std::chrono::milliseconds timeout) {
    Subprocess process(std::move(arguments), std::move(environment), !stdinBytes.empty());
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

}  // namespace qor::testing
