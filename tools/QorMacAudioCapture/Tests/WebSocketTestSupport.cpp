#include "WebSocketTestSupport.h"

#include <fcntl.h>
#include <signal.h>
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

namespace qor::testing {
namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

}  // namespace

WebSocketPeer::WebSocketPeer(const std::vector<std::string>& options)
    : process_(
          [&] {
              std::vector<std::string> arguments{QOR_PEER_PYTHON, QOR_WEBSOCKET_PEER};
              arguments.insert(arguments.end(), options.begin(), options.end());
              return arguments;
          }(),
          {}, {.keepStdinOpen = true}) {
    const auto listening = waitFor("listening", 30s);
    if (!listening) {
        throw std::runtime_error("the WebSocket peer did not start:\n" + process_.err());
    }
    port_ = (*listening)["port"].get<std::uint16_t>();
}

std::string WebSocketPeer::url(const std::string& target) const {
    return "ws://127.0.0.1:" + std::to_string(port_) + target;
}

std::optional<nlohmann::json> WebSocketPeer::next(Clock::duration timeout) {
    auto line =
        process_.readStdoutLine(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
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
    process_.sendSignal(SIGKILL);
    process_.wait(10s);
}

void expectClosedGoingAway(WebSocketPeer& peer) {
    const auto closed = peer.waitFor("closed");
    EXPECT_EQ(closed.value_or(nlohmann::json::object()).value("code", 0), 1001);
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
    const auto made = runProcess({QOR_OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                  "-keyout", key, "-out", certificate, "-days", "2", "-subj",
                                  "/CN=qor-test", "-addext", "subjectAltName=" + subjectAltName});
    if (made.exitStatus != 0) {
        throw std::runtime_error("openssl req failed: " + made.err);
    }
}

SelfSignedCertificate::~SelfSignedCertificate() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
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
