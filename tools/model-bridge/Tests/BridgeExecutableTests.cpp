// The built QorModelBridge against a scripted OpenAI-compatible server on loopback: exit
// statuses, the exact bytes on both output streams, whether standard input was read, and which
// calls reached the server.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Base64.h"
#include "ProcessRunner.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

using json = nlohmann::json;
using testing::Input;
using testing::ProcessResult;
namespace fs = std::filesystem;

const json kModels =
    json::parse(R"({"object":"list","data":[{"id":"tiny.gguf","object":"model"}]})");

json completionWith(const std::string& content) {
    return {{"choices", json::array({{{"index", 0},
                                      {"message", {{"role", "assistant"}, {"content", content}}},
                                      {"finish_reason", "stop"}}})}};
}

// One scripted server per test, torn down with it.
class FakeServer {
  public:
    explicit FakeServer(json script) : directory_(makeDirectory()) {
        std::ofstream(directory_ / "script.json") << script.dump();
        process_ = std::make_unique<testing::BackgroundProcess>(
            QOR_TEST_PYTHON,
            std::vector<std::string>{QOR_FAKE_SERVER_SCRIPT, (directory_ / "script.json").string(),
                                     (directory_ / "calls.jsonl").string()});
        port_ = process_->firstLine(std::chrono::seconds(20));
        if (port_.empty()) {
            throw std::runtime_error("fake server did not start");
        }
    }
    ~FakeServer() {
        process_.reset();
        fs::remove_all(directory_);
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + port_ + "/v1"; }

    std::vector<json> calls() const {
        std::vector<json> result;
        std::ifstream in(directory_ / "calls.jsonl");
        for (std::string line; std::getline(in, line);) {
            result.push_back(json::parse(line));
        }
        return result;
    }

    std::vector<json> completionCalls() const {
        std::vector<json> result;
        for (const json& call : calls()) {
            if (call["path"] == "/v1/chat/completions") {
                result.push_back(call);
            }
        }
        return result;
    }

  private:
    static fs::path makeDirectory() {
        std::string pattern = (fs::temp_directory_path() / "qor-bridge-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        return pattern;
    }

    fs::path directory_;
    std::unique_ptr<testing::BackgroundProcess> process_;
    std::string port_;
};

// A loopback port that nobody listens on: bound once to learn a free number, then released.
std::string refusingBaseUrl() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1";
}

ProcessResult runBridge(const std::string& baseUrl, const Input& input,
                        std::vector<std::string> arguments = {},
                        std::optional<std::string> apiKey = std::nullopt,
                        testing::Output output = testing::Output::captured) {
    return testing::runProcess(QOR_BRIDGE_EXECUTABLE, arguments, input,
                               {{"OPENAI_BASE_URL", baseUrl},
                                {"OPENAI_API_KEY", apiKey},
                                {"http_proxy", std::nullopt},
                                {"HTTP_PROXY", std::nullopt},
                                {"all_proxy", std::nullopt},
                                {"ALL_PROXY", std::nullopt}},
                               std::chrono::seconds(60), output);
}

std::string request(const std::string& prompt, const std::string& locale,
                    const std::vector<std::string>& images = {}) {
    return json{{"prompt", prompt}, {"locale", locale}, {"images", images}}.dump();
}

std::string base64Of(const testing::Bytes& bytes) {
    return encodeBase64(bytes);
}

void expectSilentStatus(const ProcessResult& result, int status, const std::string& what) {
    EXPECT_FALSE(result.timedOut) << what;
    EXPECT_EQ(result.status, status) << what;
    EXPECT_EQ(result.out, "") << what;
    EXPECT_EQ(result.err, "") << what;
}

// ---- availability and the readiness probe ----

TEST(BridgeExecutable, UnavailableServerGivesStatus2WithoutReadingInput) {
    FakeServer unavailable(json{{"models", {{"status", 503}, {"body", {{"error", "loading"}}}}}});
    FakeServer empty(json{
        {"models", {{"status", 200}, {"body", {{"object", "list"}, {"data", json::array()}}}}}});
    FakeServer garbled(json{{"models", {{"status", 200}, {"raw", "<html>"}}}});
    FakeServer dropping(json{{"models", {{"drop", true}}}});
    const std::pair<std::string, std::string> servers[] = {
        {"refused", refusingBaseUrl()},  {"503", unavailable.baseUrl()},
        {"no models", empty.baseUrl()},  {"garbled list", garbled.baseUrl()},
        {"dropped", dropping.baseUrl()},
    };
    for (const auto& [name, url] : servers) {
        for (auto arguments : {std::vector<std::string>{}, {"--ready"}}) {
            // The pipe stays open: a bridge that tried to read it would wait until the timeout.
            ProcessResult result =
                runBridge(url, Input::neverClosed(request("Hi", "en")), arguments);
            expectSilentStatus(result, 2, name);
            EXPECT_EQ(result.inputLeftUnread, result.inputWritten) << name;
            EXPECT_GT(result.inputWritten, 0u);
        }
    }
    for (const FakeServer* server : {&unavailable, &empty}) {
        for (const json& call : server->calls()) {
            EXPECT_EQ(call["path"], "/v1/models");
        }
    }
}

TEST(BridgeExecutable, ReadinessProbeAnywhereInTheArguments) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}}});
    for (auto arguments : {std::vector<std::string>{"--ready"},
                           {"--ready", "x"},
                           {"a", "--ready"},
                           {"-v", "--ready", "--other"}}) {
        ProcessResult result = runBridge(server.baseUrl(), Input::neverClosed("{"), arguments);
        expectSilentStatus(result, 0, arguments.back());
        EXPECT_EQ(result.inputLeftUnread, 1u);
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

TEST(BridgeExecutable, SendsTheApiKeyAsBearerTokenOnlyWhenSet) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("ok")}}}});
    EXPECT_EQ(
        runBridge(server.baseUrl() + "/", Input::text(request("a", "en")), {}, "sk-test").status,
        0);
    EXPECT_EQ(runBridge(server.baseUrl(), Input::text(request("a", "en"))).status, 0);
    std::vector<json> calls = server.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0]["path"], "/v1/models");
    EXPECT_EQ(calls[0]["authorization"], "Bearer sk-test");
    EXPECT_EQ(calls[1]["authorization"], "Bearer sk-test");
    EXPECT_TRUE(calls[2]["authorization"].is_null());
    EXPECT_TRUE(calls[3]["authorization"].is_null());
}

// ---- request decoding ----

TEST(BridgeExecutable, UndecodableRequestsReportDecodingError) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("no")}}}});
    const char* requests[] = {
        "",
        "   ",
        "{",
        "not json",
        "[]",
        R"({"prompt":"p","locale":"en"})",
        R"({"images":[],"locale":"en"})",
        R"({"images":[],"prompt":"p"})",
        R"({"images":null,"prompt":"p","locale":"en"})",
        R"({"images":[],"prompt":null,"locale":"en"})",
        R"({"images":[],"prompt":"p","locale":null})",
        R"({"images":["QQ==",7],"prompt":"p","locale":"en"})",
        R"({"images":"QQ==","prompt":"p","locale":"en"})",
        R"({"images":[],"prompt":42,"locale":"en"})",
        R"({"images":[],"prompt":1e400,"locale":"en"})",
        R"({"images":[-1e999],"prompt":"p","locale":"en"})",
        R"({"images":[],"prompt":"p","locale":"en","x":1e})",
        R"({"images":[],"prompt":"p","locale":["en"]})",
        R"({"IMAGES":[],"prompt":"p","locale":"en"})",
    };
    for (const char* text : requests) {
        ProcessResult result = runBridge(server.baseUrl(), Input::text(text));
        EXPECT_EQ(result.status, 1) << text;
        EXPECT_EQ(result.err, "DecodingError") << text;
        EXPECT_EQ(result.out, "") << text;
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

TEST(BridgeExecutable, HugeAndDeeplyNestedInputsEndInDecodingError) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}}});
    ProcessResult deep =
        runBridge(server.baseUrl(), Input::text(R"({"images":[],"prompt":"p","locale":"en","x":)" +
                                                std::string(5'000'000, '[')));
    EXPECT_EQ(deep.status, 1);
    EXPECT_EQ(deep.err, "DecodingError");

    // 300 MiB that never form a request: refused once the limit is passed, not after the end.
    ProcessResult flood = runBridge(server.baseUrl(), Input::flood(std::size_t{300} << 20));
    EXPECT_FALSE(flood.timedOut);
    EXPECT_EQ(flood.status, 1);
    EXPECT_EQ(flood.err, "DecodingError");
    EXPECT_EQ(flood.out, "");
    EXPECT_LT(flood.inputWritten, std::size_t{300} << 20);
}

TEST(BridgeExecutable, UnknownKeysAreIgnored) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("fine")}}}});
    std::string text = R"({"temperature":0.1,"images":[],"meta":{"a":[1,null,{"b":"c"}]},)"
                       R"("prompt":"Hi","Locale":5,"locale":"en_US","big":-1e400,)"
                       R"("x":[1E+99999,)" +
                       std::string(400, '9') + "]}";
    ProcessResult result = runBridge(server.baseUrl(), Input::text(text));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "fine\n");
    ASSERT_EQ(server.completionCalls().size(), 1u);
    EXPECT_EQ(server.completionCalls()[0]["body"]["messages"][0]["content"], "Hi");
}

// ---- locale ----

TEST(BridgeExecutable, UnsupportedLocaleGivesStatus2WithoutAModelCall) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("no")}}}});
    std::string png = base64Of(testing::pngImage(2, 2));
    for (const char* locale : {"", "klingon", "en US", "123", "en-", "x"}) {
        ProcessResult result =
            runBridge(server.baseUrl(), Input::text(request("Hi", locale, {png})));
        expectSilentStatus(result, 2, locale);
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

// ---- images ----

TEST(BridgeExecutable, BadImagesGiveStatus3WithoutAModelCall) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("no")}}}});
    std::string png = base64Of(testing::pngImage(4, 4));
    std::string wrapped = png.substr(0, 40) + "\n" + png.substr(40);
    const std::pair<std::string, std::string> bad[] = {
        {"not base64", "this is not base64!"},
        {"unpadded", "QUJDRA"},
        {"url-safe alphabet", "-_-_"},
        {"line-wrapped", wrapped},
        {"data url", "data:image/png;base64," + png},
        {"text, no image", base64Of(testing::bytesOf("Just some words, no picture."))},
        {"empty", ""},
        {"absurd dimensions", base64Of(testing::pngHeaderOnly(100'000, 100'000))},
        {"absurd jpeg", base64Of(testing::jpegHeader(60'000, 60'000))},
    };
    for (const auto& [name, image] : bad) {
        for (auto images : {std::vector<std::string>{image}, {png, image, png}}) {
            ProcessResult result =
                runBridge(server.baseUrl(), Input::text(request("Hi", "en", images)));
            expectSilentStatus(result, 3, name);
        }
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

// ---- the model call ----

TEST(BridgeExecutable, FailedModelCallReportsItsTypeName) {
    FakeServer rejecting(
        json{{"models", {{"status", 200}, {"body", kModels}}},
             {"completion", {{"status", 500}, {"body", {{"error", {{"message", "boom"}}}}}}}});
    FakeServer dropping(
        json{{"models", {{"status", 200}, {"body", kModels}}}, {"completion", {{"drop", true}}}});
    FakeServer shapeless(
        json{{"models", {{"status", 200}, {"body", kModels}}},
             {"completion", {{"status", 200}, {"body", {{"choices", json::array()}}}}}});
    const std::pair<const FakeServer*, std::string> cases[] = {
        {&rejecting, "GenerationError"},
        {&dropping, "ConnectionError"},
        {&shapeless, "InvalidResponseError"},
    };
    for (const auto& [server, typeName] : cases) {
        ProcessResult result = runBridge(server->baseUrl(), Input::text(request("Hi", "en")));
        EXPECT_EQ(result.status, 1) << typeName;
        EXPECT_EQ(result.err, typeName);
        EXPECT_EQ(result.out, "") << typeName;
        EXPECT_EQ(server->completionCalls().size(), 1u) << "never retried";
    }
}

TEST(BridgeExecutable, WritesTheAnswerUnchangedPlusOneLineFeed) {
    for (const std::string& answer :
         {std::string("Hello."), std::string("two\nlines\n"), std::string("\n\n"), std::string(""),
          std::string("caf\xC3\xA9 \xE2\x9C\x93 \"quoted\" \\ /"), std::string(100'000, 'z')}) {
        FakeServer server(
            json{{"models", {{"status", 200}, {"body", kModels}}},
                 {"completion", {{"status", 200}, {"body", completionWith(answer)}}}});
        ProcessResult result = runBridge(server.baseUrl(), Input::text(request("Hi", "en")));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, answer + "\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST(BridgeExecutable, SendsOneCompletionWithTheTextThenTheImagesInOrder) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("seen")}}}});
    std::string png = base64Of(testing::pngImage(3, 2));
    std::string gif = base64Of(testing::gifImage());
    std::string bmp = base64Of(testing::bmpImage(2, 2));
    ProcessResult result =
        runBridge(server.baseUrl(),
                  Input::text(request("  What is\nthis? \xC3\xA9 ", "de_CH", {gif, png, bmp})));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "seen\n");

    std::vector<json> calls = server.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["method"], "GET");
    EXPECT_EQ(calls[0]["path"], "/v1/models");
    EXPECT_EQ(calls[1]["method"], "POST");
    const json& body = calls[1]["body"];
    EXPECT_EQ(body["model"], "tiny.gguf");
    EXPECT_EQ(body["stream"], false);
    EXPECT_FALSE(body.contains("max_tokens"));
    EXPECT_FALSE(body.contains("temperature"));
    ASSERT_EQ(body["messages"].size(), 1u);
    EXPECT_EQ(body["messages"][0]["role"], "user");
    json expected = json::array({
        {{"type", "text"}, {"text", "  What is\nthis? \xC3\xA9 "}},
        {{"type", "image_url"}, {"image_url", {{"url", "data:image/gif;base64," + gif}}}},
        {{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64," + png}}}},
        {{"type", "image_url"}, {"image_url", {{"url", "data:image/bmp;base64," + bmp}}}},
    });
    EXPECT_EQ(body["messages"][0]["content"], expected);
}

TEST(BridgeExecutable, AnAnswerThatCannotBeWrittenIsAFailure) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("lost")}}}});
    for (testing::Output output : {testing::Output::readerGone, testing::Output::deviceFull}) {
        ProcessResult result =
            runBridge(server.baseUrl(), Input::text(request("Hi", "en")), {}, {}, output);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "OutputError");
    }
    EXPECT_EQ(server.completionCalls().size(), 2u);
}

TEST(BridgeExecutable, EmptyPromptAndNoImagesAreSentAsTheyAre) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("?")}}}});
    ProcessResult result = runBridge(server.baseUrl(), Input::text(request("", "en")));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "?\n");
    ASSERT_EQ(server.completionCalls().size(), 1u);
    EXPECT_EQ(server.completionCalls()[0]["body"]["messages"][0]["content"], "");
}

}  // namespace
}  // namespace qor::bridge
