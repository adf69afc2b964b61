#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qor::bridge::testing {

namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd = other.fd;
        other.fd = -1;
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    readEnd = Fd(fds[0]);
    writeEnd = Fd(fds[1]);
}

std::vector<std::string> mergedEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        std::string name = text.substr(0, text.find('='));
        if (changes.find(name) == changes.end()) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            result.push_back(name + "=" + *value);
        }
    }
    return result;
}

pid_t spawn(const std::string& executable, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment, int in, int out, int err) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(executable.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

void recordExit(ProcessResult& result, int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        result.status = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        result.signal = WTERMSIG(waitStatus);
    }
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const Input& input,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         std::chrono::milliseconds timeout, Output output) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
    Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    makePipe(inRead, inWrite);
    if (output == Output::deviceFull) {
        outWrite = Fd(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    } else {
        makePipe(outRead, outWrite);
    }
    if (output == Output::readerGone) {
        outRead.reset();
    }
    makePipe(errRead, errWrite);

    Clock::time_point start = Clock::now();
    pid_t pid = spawn(executable, arguments, mergedEnvironment(environment), inRead.fd, outWrite.fd,
                      errWrite.fd);
    outWrite.reset();
    errWrite.reset();
    if (input.mode != Input::Mode::heldOpen) {
        inRead.reset();  // only the child reads; when it ends, our writes fail with EPIPE
    }
    ::fcntl(inWrite.fd, F_SETFL, O_NONBLOCK);

    ProcessResult result;
    std::string filler(64 * 1024, 'x');
    std::size_t toWrite = input.mode == Input::Mode::endless ? input.byteCount : input.bytes.size();
    bool exited = false;
    int waitStatus = 0;
    while (!exited || outRead.fd >= 0 || errRead.fd >= 0) {
        if (Clock::now() - start > timeout) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &waitStatus, 0);
            break;
        }
        std::vector<pollfd> fds;
        if (outRead.fd >= 0)
            fds.push_back({outRead.fd, POLLIN, 0});
        if (errRead.fd >= 0)
            fds.push_back({errRead.fd, POLLIN, 0});
        bool writing = inWrite.fd >= 0 && result.inputWritten < toWrite;
        if (writing)
            fds.push_back({inWrite.fd, POLLOUT, 0});
        ::poll(fds.data(), fds.size(), 20);

        for (const pollfd& p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == inWrite.fd) {
                const char* data = input.mode == Input::Mode::endless
                                       ? filler.data()
                                       : input.bytes.data() + result.inputWritten;
                std::size_t length =
                    std::min(toWrite - result.inputWritten,
                             input.mode == Input::Mode::endless ? filler.size() : toWrite);
                ssize_t n = ::write(inWrite.fd, data, length);
                if (n > 0) {
                    result.inputWritten += static_cast<std::size_t>(n);
                } else if (n < 0 && errno != EAGAIN) {
                    inWrite.reset();  // the child closed its input
                }
                continue;
            }
            char buffer[65536];
            ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            bool isOut = p.fd == outRead.fd;
            if (n > 0) {
                (isOut ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            } else {
                (isOut ? outRead : errRead).reset();
            }
        }
        if (inWrite.fd >= 0 && result.inputWritten >= toWrite &&
            input.mode != Input::Mode::heldOpen) {
            inWrite.reset();
        }
        if (!exited && ::waitpid(pid, &waitStatus, WNOHANG) == pid) {
            exited = true;
        }
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (!result.timedOut) {
        recordExit(result, waitStatus);
    }
    if (input.mode == Input::Mode::heldOpen && inRead.fd >= 0) {
        int pending = 0;
        ::ioctl(inRead.fd, FIONREAD, &pending);
        result.inputLeftUnread = static_cast<std::size_t>(pending);
    }
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string& executable,
                                     const std::vector<std::string>& arguments) {
    Fd outRead, outWrite;
    makePipe(outRead, outWrite);
    Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    pid_ =
        spawn(executable, arguments, mergedEnvironment({}), devNull.fd, outWrite.fd, STDERR_FILENO);
    out_ = outRead.fd;
    outRead.fd = -1;
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
}

bool BackgroundProcess::running() {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

std::string BackgroundProcess::firstLine(std::chrono::milliseconds timeout) {
    std::string line;
    Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char c;
        if (::read(out_, &c, 1) != 1)
            break;
        if (c == '\n')
            return line;
        line.push_back(c);
    }
    return line;
}

}  // namespace qor::bridge::testing
