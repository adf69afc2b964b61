// The bridge against a real llama.cpp llama-server on loopback, serving a tiny random-weight model
// and vision projector that scripts/llama-server/make-tiny-model.py writes. The server binary comes
// from the cache that scripts/llama-server/build.sh fills; without it this test fails, it never
// skips. Only the status and the shape of the answers are checked: the words are random.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Base64.h"
#include "LoopbackPort.h"
#include "Subprocess.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using qor::testing::ProcessResult;
using qor::testing::Subprocess;

// The status code of GET /health, or 0 when nothing answers.
int healthStatus(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[64] = {};
            if (::read(fd, buffer, sizeof buffer - 1) > 12) {
                status = std::atoi(buffer + 9);  // "HTTP/1.1 200 OK"
            }
        }
    }
    ::close(fd);
    return status;
}

class LlamaServer : public ::testing::Test {
  protected:
    // A start-up failure is recorded here and fails every test in SetUp(): gtest would report a
    // failed SetUpTestSuite as skipped tests, and this test must never look skipped.
    static std::string startServer() {
        fs::path root = QOR_LLAMA_SERVER_DIR;
        fs::path server = root / "bin" / "llama-server";
        if (!fs::exists(server)) {
            return server.string() +
                   " is missing: run scripts/llama-server/build.sh to build and cache it";
        }
        directory_ =
            new fs::path(fs::temp_directory_path() / ("qor-llama-" + std::to_string(::getpid())));
        fs::create_directories(*directory_);
        ProcessResult generated = qor::testing::runProcess(
            {QOR_TEST_PYTHON, QOR_MAKE_TINY_MODEL_SCRIPT, directory_->string()},
            {{"PYTHONPATH", (root / "gguf-py").string()}}, {}, std::chrono::minutes(2));
        if (generated.exitStatus != 0) {
            return "make-tiny-model.py failed: " + generated.err;
        }
        port_ = qor::testing::freeLoopbackPort();
        process_ = new Subprocess({server.string(),
                                   "--model",
                                   (*directory_ / "tiny-model.gguf").string(),
                                   "--mmproj",
                                   (*directory_ / "tiny-mmproj.gguf").string(),
                                   "--host",
                                   "127.0.0.1",
                                   "--port",
                                   std::to_string(port_),
                                   "--ctx-size",
                                   "512",
                                   "--n-predict",
                                   "16",
                                   "--threads",
                                   "1",
                                   "--parallel",
                                   "1",
                                   "--chat-template",
                                   "chatml",
                                   "--log-disable"});
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (healthStatus(port_) != 200) {
            if (!process_->running()) {
                return "llama-server exited during start-up: " + process_->err();
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return "llama-server never became healthy";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return {};
    }

    static void SetUpTestSuite() { startError_ = new std::string(startServer()); }

    void SetUp() override {
        if (!startError_->empty()) {
            FAIL() << *startError_;
        }
    }

    static void TearDownTestSuite() {
        delete startError_;
        startError_ = nullptr;
        delete process_;
        process_ = nullptr;
        if (directory_ != nullptr) {
            fs::remove_all(*directory_);
            delete directory_;
            directory_ = nullptr;
        }
    }

    // Writes `input` and, unless `holdOpen`, closes standard input; waits for the end.
    ProcessResult ask(const std::string& input, std::vector<std::string> arguments = {},
                      bool holdOpen = false) {
        arguments.insert(arguments.begin(), QOR_BRIDGE_EXECUTABLE);
        Subprocess bridge(
            std::move(arguments),
            {{"OPENAI_BASE_URL", "http://127.0.0.1:" + std::to_string(port_) + "/v1"}},
            {.unset = {"OPENAI_API_KEY", "http_proxy", "HTTP_PROXY"}, .keepStdinOpen = true});
        bridge.writeStdin(input);
        if (!holdOpen) {
            bridge.closeStdin();
        }
        return bridge.wait(std::chrono::minutes(2));
    }

    static void expectAnswer(const ProcessResult& result) {
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.err, "");
        ASSERT_GE(result.out.size(), 2u) << "a non-empty answer and its line feed";
        EXPECT_EQ(result.out.back(), '\n');
        EXPECT_NE(result.out.find_first_not_of(" \n"), std::string::npos);
    }

    static inline fs::path* directory_ = nullptr;
    static inline Subprocess* process_ = nullptr;
    static inline int port_ = 0;
    static inline std::string* startError_ = nullptr;
};

TEST_F(LlamaServer, ReadinessProbe) {
    ProcessResult result = ask("{", {"--ready"}, true);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out + result.err, "");
}

TEST_F(LlamaServer, AnswersATextPrompt) {
    json request = {{"images", json::array()}, {"prompt", "Say something."}, {"locale", "en_US"}};
    expectAnswer(ask(request.dump()));
}

TEST_F(LlamaServer, AnswersAPromptWithOnePng) {
    json request = {{"images", {encodeBase64(testing::pngImage(24, 16))}},
                    {"prompt", "What is in this picture?"},
                    {"locale", "en"}};
    expectAnswer(ask(request.dump()));
}

}  // namespace
}  // namespace qor::bridge
