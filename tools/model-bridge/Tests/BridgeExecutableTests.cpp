// The built QorModelBridge against a scripted OpenAI-compatible server on loopback: exit
// statuses, the exact bytes on both output streams, whether standard input was read, and which
// calls reached the server.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "Base64.h"
#include "LoopbackPort.h"
#include "Subprocess.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using qor::testing::ProcessResult;
using qor::testing::Stdout;
using qor::testing::Subprocess;

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
    explicit FakeServer(const json& script)
        : process_({QOR_TEST_PYTHON, QOR_FAKE_SERVER_SCRIPT, written(script),
                    directory_.file("calls.jsonl")}) {
        // Its first line is the port it listens on.
        if (!process_.waitForStdout(
                [](const std::string& out) { return out.find('\n') != std::string::npos; }, 20s)) {
            throw std::runtime_error("fake server did not start: " + process_.err());
        }
        port_ = process_.out().substr(0, process_.out().find('\n'));
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + port_ + "/v1"; }

    std::vector<json> calls() const {
        std::vector<json> result;
        std::ifstream in(directory_.file("calls.jsonl"));
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
    std::string written(const json& script) const {
        std::ofstream(directory_.file("script.json")) << script.dump();
        return directory_.file("script.json");
    }

    qor::testing::TemporaryDirectory directory_;
    Subprocess process_;
    std::string port_;
};

std::string refusingBaseUrl() {
    return "http://127.0.0.1:" + std::to_string(qor::testing::freeLoopbackPort()) + "/v1";
}

// The bridge with its standard input open, told to use `baseUrl` and no proxy.
std::unique_ptr<Subprocess> startBridge(const std::string& baseUrl,
                                        std::vector<std::string> arguments = {},
                                        std::optional<std::string> apiKey = std::nullopt,
                                        Stdout output = Stdout::captured,
                                        std::vector<int> closed = {}) {
    arguments.insert(arguments.begin(), QOR_BRIDGE_EXECUTABLE);
    qor::testing::Environment environment{{"OPENAI_BASE_URL", baseUrl}};
    if (apiKey) {
        environment["OPENAI_API_KEY"] = *apiKey;
    }
    return std::make_unique<Subprocess>(
        std::move(arguments), std::move(environment),
        qor::testing::SpawnOptions{
            .output = output,
            .unset = {"OPENAI_API_KEY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"},
            .keepStdinOpen = true,
            .closed = std::move(closed)});
}

// Writes `input`, closes standard input and waits for the end.
ProcessResult runBridge(const std::string& baseUrl, const std::string& input,
                        std::vector<std::string> arguments = {},
                        std::optional<std::string> apiKey = std::nullopt,
                        Stdout output = Stdout::captured) {
    auto bridge = startBridge(baseUrl, std::move(arguments), std::move(apiKey), output);
    bridge->writeStdin(input, 60s);
    bridge->closeStdin();
    return bridge->wait(60s);
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
    EXPECT_EQ(result.exitStatus, status) << what;
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
            auto bridge = startBridge(url, arguments);
            const std::size_t written = bridge->writeStdin(request("Hi", "en"));
            ProcessResult result = bridge->wait(60s);
            expectSilentStatus(result, 2, name);
            EXPECT_EQ(result.stdinUnread, written) << name;
            EXPECT_GT(written, 0u);
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
        auto bridge = startBridge(server.baseUrl(), arguments);
        bridge->writeStdin("{");
        ProcessResult result = bridge->wait(60s);
        expectSilentStatus(result, 0, arguments.back());
        EXPECT_EQ(result.stdinUnread, 1u);
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

TEST(BridgeExecutable, SendsTheApiKeyAsBearerTokenOnlyWhenSet) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("ok")}}}});
    EXPECT_EQ(runBridge(server.baseUrl() + "/", request("a", "en"), {}, "sk-test").exitStatus, 0);
    EXPECT_EQ(runBridge(server.baseUrl(), request("a", "en")).exitStatus, 0);
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
        ProcessResult result = runBridge(server.baseUrl(), text);
        EXPECT_EQ(result.exitStatus, 1) << text;
        EXPECT_EQ(result.err, "DecodingError") << text;
        EXPECT_EQ(result.out, "") << text;
    }
    EXPECT_TRUE(server.completionCalls().empty());
}

TEST(BridgeExecutable, HugeAndDeeplyNestedInputsEndInDecodingError) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}}});
    ProcessResult deep =
        runBridge(server.baseUrl(),
                  R"({"images":[],"prompt":"p","locale":"en","x":)" + std::string(5'000'000, '['));
    EXPECT_EQ(deep.exitStatus, 1);
    EXPECT_EQ(deep.err, "DecodingError");

    // 300 MiB that never form a request: refused once the limit is passed, not after the end.
    const std::size_t floodBytes = std::size_t{300} << 20;
    auto flooded = startBridge(server.baseUrl());
    const std::string filler(64 * 1024, 'x');
    std::size_t written = 0;
    while (written < floodBytes && flooded->writeStdin(filler, 60s) == filler.size()) {
        written += filler.size();
    }
    ProcessResult flood = flooded->wait(60s);
    EXPECT_FALSE(flood.timedOut);
    EXPECT_EQ(flood.exitStatus, 1);
    EXPECT_EQ(flood.err, "DecodingError");
    EXPECT_EQ(flood.out, "");
    EXPECT_LT(written, floodBytes);
}

TEST(BridgeExecutable, UnknownKeysAreIgnored) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("fine")}}}});
    std::string text = R"({"temperature":0.1,"images":[],"meta":{"a":[1,null,{"b":"c"}]},)"
                       R"("prompt":"Hi","Locale":5,"locale":"en_US","big":-1e400,)"
                       R"("x":[1E+99999,)" +
                       std::string(400, '9') + "]}";
    ProcessResult result = runBridge(server.baseUrl(), text);
    EXPECT_EQ(result.exitStatus, 0);
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
        ProcessResult result = runBridge(server.baseUrl(), request("Hi", locale, {png}));
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
        {"truncated png", base64Of(testing::Bytes(png.begin(), png.end() - 30))},
        {"webp header without data", base64Of(testing::webpLosslessHeader(4, 4))},
    };
    for (const auto& [name, image] : bad) {
        for (auto images : {std::vector<std::string>{image}, {png, image, png}}) {
            ProcessResult result = runBridge(server.baseUrl(), request("Hi", "en", images));
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
        ProcessResult result = runBridge(server->baseUrl(), request("Hi", "en"));
        EXPECT_EQ(result.exitStatus, 1) << typeName;
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
        ProcessResult result = runBridge(server.baseUrl(), request("Hi", "en"));
        EXPECT_EQ(result.exitStatus, 0);
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
    ProcessResult result = runBridge(
        server.baseUrl(), request("  What is\nthis? \xC3\xA9 ", "de_CH", {gif, png, bmp}));
    EXPECT_EQ(result.exitStatus, 0);
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
    for (Stdout output : {Stdout::readerGone, Stdout::deviceFull}) {
        ProcessResult result = runBridge(server.baseUrl(), request("Hi", "en"), {}, {}, output);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, "OutputError");
    }
    EXPECT_EQ(server.completionCalls().size(), 2u);
}

// A host that is a shell, killed while the model takes its time: the bridge follows it within a
// second, with its own failure name, instead of waiting for an answer nobody will read.
TEST(BridgeExecutable, TheBridgeEndsWithTheProcessThatStartedIt) {
    FakeServer server(json{
        {"models", {{"status", 200}, {"body", kModels}}},
        {"completion", {{"status", 200}, {"body", completionWith("late")}, {"delaySeconds", 30}}}});
    qor::testing::TemporaryDirectory directory;
    std::ofstream(directory.file("request.json")) << request("Hi", "en");
    const std::string command = std::string(QOR_BRIDGE_EXECUTABLE) + " < " +
                                directory.file("request.json") + " 2> " + directory.file("err") +
                                " & echo $!; wait";
    Subprocess shell({"/bin/sh", "-c", command}, {{"OPENAI_BASE_URL", server.baseUrl()}});
    const auto line = shell.readStdoutLine(10s);
    ASSERT_TRUE(line);
    const int bridge = std::stoi(*line);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (server.completionCalls().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(server.completionCalls().size(), 1u);
    shell.sendSignal(SIGKILL);
    shell.wait(10s);
    EXPECT_TRUE(qor::testing::waitForProcessEnd(bridge, 1s));
    std::ifstream err(directory.file("err"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(err), {}), "HostExitedError");
}

TEST(BridgeExecutable, AReplyNestedPastTheLimitIsAnInvalidResponseInLittleMemory) {
    // Just under the reply's size limit, one container per byte.
    FakeServer server(
        json{{"models", {{"status", 200}, {"body", kModels}}},
             {"completion", {{"status", 200}, {"raw", "["}, {"repeat", (64 << 20) - 1024}}}});
    ProcessResult result = runBridge(server.baseUrl(), request("Hi", "en"));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "InvalidResponseError");
    EXPECT_EQ(result.out, "");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(result.peakResidentKiB, 100'000'000 / 1024) << "the reply itself takes 64 MiB";
#endif
}

TEST(BridgeExecutable, ClosedStandardDescriptorsAreNoOneElsesToWrite) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("fine")}}}});
    // Closed standard input reads as empty; a closed standard output fails the answer.
    const std::tuple<int, int, std::string, std::string> cases[] = {
        {0, 1, "", "DecodingError"}, {1, 1, "", "OutputError"}, {2, 0, "fine\n", ""}};
    for (const auto& [fd, status, out, err] : cases) {
        auto bridge = startBridge(server.baseUrl(), {}, {}, Stdout::captured, {fd});
        bridge->writeStdin(request("Hi", "en"));
        bridge->closeStdin();
        ProcessResult result = bridge->wait(60s);
        EXPECT_EQ(result.exitStatus, status) << fd;
        EXPECT_EQ(result.out, out) << fd;
        EXPECT_EQ(result.err, err) << fd;
    }
    EXPECT_EQ(server.completionCalls().size(), 2u);
}

TEST(BridgeExecutable, EmptyPromptAndNoImagesAreSentAsTheyAre) {
    FakeServer server(json{{"models", {{"status", 200}, {"body", kModels}}},
                           {"completion", {{"status", 200}, {"body", completionWith("?")}}}});
    ProcessResult result = runBridge(server.baseUrl(), request("", "en"));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "?\n");
    ASSERT_EQ(server.completionCalls().size(), 1u);
    EXPECT_EQ(server.completionCalls()[0]["body"]["messages"][0]["content"], "");
}

}  // namespace
}  // namespace qor::bridge
