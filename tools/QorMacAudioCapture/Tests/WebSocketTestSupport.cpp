#include "WebSocketTestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOR_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QOR_SANITIZED_ALLOCATOR 1
#endif
#endif
#ifdef QOR_SANITIZED_ALLOCATOR
// From the sanitizer runtime (its header ships with clang only).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

extern char** environ;

namespace qor::testing {
namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        check(::pipe2(fds, O_CLOEXEC) == 0, "pipe2");
        read = fds[0];
        write = fds[1];
    }
};

int runCommand(const std::vector<std::string>& arguments) {
    ChildProcess child(arguments);
    child.closeInput();
    while (child.readOutputLine(30s)) {
    }
    return child.wait(30s).value_or(-1);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extraEnvironment) {
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);

    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment(extraEnvironment);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (const auto& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const int result = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in.read);
    ::close(out.write);
    ::close(err.write);
    input_ = in.write;
    output_.fd = out.read;
    error_.fd = err.read;
    if (result != 0) {
        errno = result;
        check(false, "posix_spawn");
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait(10s);
    }
    for (int fd : {input_, output_.fd, error_.fd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ChildProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        check(n > 0, "write to child");
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

std::optional<std::string> ChildProcess::readOutputLine(Clock::duration timeout) {
    return readLine(output_, timeout);
}

std::optional<std::string> ChildProcess::readErrorLine(Clock::duration timeout) {
    return readLine(error_, timeout);
}

std::optional<std::string> ChildProcess::readLine(Stream& stream, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = stream.buffered.find('\n');
        if (newline != std::string::npos) {
            std::string line = stream.buffered.substr(0, newline);
            stream.buffered.erase(0, newline + 1);
            return line;
        }
        if (stream.ended || Clock::now() >= deadline) {
            return std::nullopt;
        }
        fill(stream, deadline);
    }
}

std::string ChildProcess::readOutputBytes(std::size_t count, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.buffered.size() < count && !output_.ended && Clock::now() < deadline) {
        fill(output_, deadline);
    }
    const std::size_t taken = std::min(count, output_.buffered.size());
    std::string bytes = output_.buffered.substr(0, taken);
    output_.buffered.erase(0, taken);
    return bytes;
}

void ChildProcess::fill(Stream& stream, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd descriptor{stream.fd, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
        return;
    }
    char chunk[65536];
    const ssize_t n = ::read(stream.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
        return;
    }
    if (n <= 0) {
        stream.ended = true;
        return;
    }
    stream.buffered.append(chunk, static_cast<std::size_t>(n));
}

void ChildProcess::signal(int number) {
    if (!status_) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::wait(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

WebSocketPeer::WebSocketPeer(const std::vector<std::string>& options)
    : process_([&] {
          std::vector<std::string> arguments{QOR_PEER_PYTHON, QOR_WEBSOCKET_PEER};
          arguments.insert(arguments.end(), options.begin(), options.end());
          return arguments;
      }()) {
    const auto listening = waitFor("listening", 30s);
    if (!listening) {
        std::string errors;
        while (auto line = process_.readErrorLine(100ms)) {
            errors += *line + "\n";
        }
        throw std::runtime_error("the WebSocket peer did not start:\n" + errors);
    }
    port_ = (*listening)["port"].get<std::uint16_t>();
}

std::string WebSocketPeer::url(const std::string& target) const {
    return "ws://127.0.0.1:" + std::to_string(port_) + target;
}

std::optional<nlohmann::json> WebSocketPeer::next(Clock::duration timeout) {
    auto line = process_.readOutputLine(timeout);
    if (!line) {
        return std::nullopt;
    }
    return nlohmann::json::parse(*line);
}

std::optional<nlohmann::json> WebSocketPeer::waitFor(const std::string& event,
                                                     Clock::duration timeout) {
    for (auto it = unread_.begin(); it != unread_.end(); ++it) {
        if ((*it)["event"] == event) {
            auto found = *it;
            unread_.erase(it);
            return found;
        }
    }
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        auto received = next(deadline - Clock::now());
        if (!received) {
            break;
        }
        if ((*received)["event"] == event) {
            return received;
        }
        unread_.push_back(std::move(*received));
    }
    ADD_FAILURE() << "the WebSocket peer reported no \"" << event << "\" event in time";
    return std::nullopt;
}

std::vector<nlohmann::json> WebSocketPeer::binaryMessages(std::size_t count,
                                                          Clock::duration timeout) {
    std::vector<nlohmann::json> messages;
    std::vector<nlohmann::json> others;
    for (auto& event : unread_) {
        if (event["event"] == "message" && event["type"] == "binary" && messages.size() < count) {
            messages.push_back(std::move(event));
        } else {
            others.push_back(std::move(event));
        }
    }
    unread_ = std::move(others);
    const auto deadline = Clock::now() + timeout;
    while (messages.size() < count && Clock::now() < deadline) {
        auto received = next(deadline - Clock::now());
        if (!received) {
            break;
        }
        if ((*received)["event"] == "message" && (*received)["type"] == "binary") {
            messages.push_back(std::move(*received));
        } else {
            unread_.push_back(std::move(*received));
        }
    }
    return messages;
}

std::vector<nlohmann::json> WebSocketPeer::drain(Clock::duration quiet) {
    const auto deadline = Clock::now() + 10s;  // a peer that never falls quiet
    while (Clock::now() < deadline) {
        auto received = next(quiet);
        if (!received) {
            break;
        }
        unread_.push_back(std::move(*received));
    }
    return std::exchange(unread_, {});
}

void WebSocketPeer::kill() {
    process_.signal(SIGKILL);
    process_.wait(10s);
}

StandardErrorCapture::StandardErrorCapture() {
    std::fflush(stderr);
    char path[] = "/tmp/qor-websocket-stderr-XXXXXX";
    file_ = ::mkostemp(path, O_CLOEXEC);
    check(file_ >= 0, "mkostemp");
    ::unlink(path);
    saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    check(saved_ >= 0, "dup stderr");
    check(::dup2(file_, 2) == 2, "dup2");
}

StandardErrorCapture::~StandardErrorCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    for (const auto& line : lines()) {
        std::fprintf(stderr, "[stderr] %s\n", line.c_str());
    }
    ::close(file_);
}

std::vector<std::string> StandardErrorCapture::lines() const {
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(file_, chunk, sizeof chunk, offset);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
        offset += n;
    }
    std::vector<std::string> result;
    std::size_t start = 0;
    for (auto newline = text.find('\n'); newline != std::string::npos;
         newline = text.find('\n', start)) {
        result.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return result;
}

std::vector<std::string> StandardErrorCapture::waitForLines(std::size_t count,
                                                            Clock::duration timeout) const {
    eventually([&] { return lines().size() >= count; }, timeout);
    return lines();
}

SelfSignedCertificate::SelfSignedCertificate(const std::string& subjectAltName) {
    char pattern[] = "/tmp/qor-websocket-tls-XXXXXX";
    check(::mkdtemp(pattern) != nullptr, "mkdtemp");
    directory = pattern;
    certificate = directory + "/certificate.pem";
    key = directory + "/key.pem";
    const int status = runCommand({QOR_OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                   "-keyout", key, "-out", certificate, "-days", "2", "-subj",
                                   "/CN=qor-test", "-addext", "subjectAltName=" + subjectAltName});
    if (status != 0) {
        throw std::runtime_error("openssl req failed with status " + std::to_string(status));
    }
}

SelfSignedCertificate::~SelfSignedCertificate() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

std::uint16_t closedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    socklen_t length = sizeof address;
    check(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    ::close(fd);  // bound but never listening, and now released: connecting is refused
    return ntohs(address.sin_port);
}

long residentKibibytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

std::size_t heapBytesInUse() {
#ifdef QOR_SANITIZED_ALLOCATOR
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

long threadCount() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

std::vector<float> taggedBlock(int tag, std::size_t samples, float fill) {
    std::vector<float> block(samples, fill);
    block[0] = -static_cast<float>(tag) / 32768.0f;
    return block;
}

int tagOf(const nlohmann::json& message) {
    const std::string head = message["head"].get<std::string>();
    const auto low = std::stoi(head.substr(0, 2), nullptr, 16);
    const auto high = std::stoi(head.substr(2, 2), nullptr, 16);
    return -static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
}

std::string errorLine(const std::string& message) {
    nlohmann::json line{{"error", message}, {"success", false}};
    std::string text = line.dump();
    std::string escaped;
    for (char c : text) {
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace qor::testing
