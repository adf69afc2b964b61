// Whole captures on the simulated platform streaming to a real WebSocket server (the websockets
// library): the executable as the host runs it, judged by its exit status, its standard error and
// what the server receives.
#include <signal.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "LoopbackPort.h"
#include "WebSocketTestSupport.h"

namespace qor {
namespace {

using namespace qor::testing;
using nlohmann::json;

constexpr std::size_t framesPerCallback = 480;
constexpr std::size_t blockBytes = framesPerCallback * 2 * 2;

// Two players whose tones do not repeat from one block to the next and together overshoot full
// scale, so the clamp is part of what the server receives.
class Scenario {
  public:
    Scenario() {
        const json scenario{
            {"applications", json::array({
                                 {{"pid", 4101},
                                  {"bundleId", "com.example.player"},
                                  {"name", "Player"},
                                  {"audioObject", 71},
                                  {"frequency", 997.0},
                                  {"amplitude", 0.9}},
                                 {{"pid", 4102},
                                  {"bundleId", "com.example.drone"},
                                  {"name", "Drone"},
                                  {"audioObject", 72},
                                  {"frequency", 61.0},
                                  {"amplitude", 0.45}},
                             })},
            {"framesPerCallback", framesPerCallback},
        };
        std::ofstream(directory_.file("scenario.json")) << scenario.dump();
    }
    Environment environment() const {
        return {{"QOR_SIM_SCENARIO", directory_.file("scenario.json")}};
    }

  private:
    TemporaryDirectory directory_;
};

// One capture of all output as the host would start it.
class Capture {
  public:
    Capture(const Scenario& scenario, const std::vector<std::string>& options,
            const Environment& environment = {},
            const std::string& executable = QOR_SIMULATED_EXECUTABLE)
        : process_(arguments(executable, options), with(scenario.environment(), environment)) {}

    // The next line on standard error, parsed.
    std::optional<json> nextLine(Clock::duration timeout = 10s) {
        auto line =
            process_.readStderrLine(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
        if (!line) {
            return std::nullopt;
        }
        seen_.push_back(*line);
        return json::parse(*line);
    }
    // Reads lines until one satisfies `match`; nothing if none comes in time.
    template <class Match>
    std::optional<json> lineWhere(Match match, Clock::duration timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto line = nextLine(deadline - Clock::now());
            if (!line) {
                return std::nullopt;
            }
            if (match(*line)) {
                return line;
            }
        }
        return std::nullopt;
    }
    std::optional<json> diagnosticsLine(Clock::duration timeout = 10s) {
        return lineWhere([](const json& line) { return line.contains("diagnostic"); }, timeout);
    }
    // SIGTERM, then the exit status.
    std::optional<int> terminate() {
        process_.sendSignal(SIGTERM);
        const auto status = process_.wait(20s).exitStatus;
        while (auto line = process_.readStderrLine(1s)) {
            seen_.push_back(*line);
        }
        if (status != 0) {
            for (const auto& line : seen_) {
                std::fprintf(stderr, "[capture] %s\n", line.c_str());
            }
        }
        return status;
    }
    long residentKibibytes() const {
        std::ifstream status("/proc/" + std::to_string(process_.pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return -1;
    }
    // No line it wrote was an error line.
    void expectNoErrorLine() const {
        for (const auto& line : seen_) {
            EXPECT_EQ(line.find("\"error\""), std::string::npos) << line;
        }
    }
    // Ends with status 0 on SIGTERM, closes with 1001 ("going away") and wrote no error line.
    void terminateWithGoingAway(WebSocketPeer& peer) {
        EXPECT_EQ(terminate(), 0);
        expectClosedGoingAway(peer);
        expectNoErrorLine();
    }
    Subprocess& process() { return process_; }
    const std::vector<std::string>& seen() const { return seen_; }

  private:
    static Environment with(Environment first, const Environment& second) {
        first.insert(second.begin(), second.end());
        return first;
    }
    static std::vector<std::string> arguments(const std::string& executable,
                                              const std::vector<std::string>& options) {
        std::vector<std::string> result{executable, "--output-loopback"};
        result.insert(result.end(), options.begin(), options.end());
        return result;
    }
    Subprocess process_;
    std::vector<std::string> seen_;
};

bool isErrorLine(const json& line, const std::string& prefix) {
    return line.contains("error") && line["success"] == false &&
           line["error"].get<std::string>().rfind(prefix, 0) == 0;
}

// Every error line the capture wrote must be a send or receive failure; how many were receive
// failures.
int receiveFailuresAmongErrors(const Capture& capture) {
    int receiveFailures = 0;
    for (const auto& text : capture.seen()) {
        const auto line = json::parse(text);
        if (line.contains("error")) {
            const bool receive = isErrorLine(line, "monitor_audio_websocket_receive_failed:");
            EXPECT_TRUE(receive || isErrorLine(line, "monitor_audio_websocket_send_failed:"))
                << text;
            receiveFailures += receive ? 1 : 0;
        }
    }
    return receiveFailures;
}

// What the same scenario delivers on standard output: float32 stereo from the first block on.
std::vector<float> referenceAudio(const Scenario& scenario, std::size_t blocks) {
    Subprocess capture({QOR_SIMULATED_EXECUTABLE, "--output-loopback"}, scenario.environment());
    const std::size_t wanted = blocks * framesPerCallback * 2 * sizeof(float);
    capture.waitForStdoutBytes(wanted, 30s);
    const std::string bytes = capture.out();
    capture.sendSignal(SIGTERM);
    capture.wait(20s);
    std::vector<float> samples(wanted / sizeof(float));
    if (bytes.size() >= wanted) {
        std::memcpy(samples.data(), bytes.data(), wanted);
    }
    return samples;
}

// Independent of the sink's own conversion: clamp, scale asymmetrically, round half away from
// zero with the library's rounding.
std::string referencePayloadHex(const std::vector<float>& samples, std::size_t block) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = block * framesPerCallback * 2; i < (block + 1) * framesPerCallback * 2;
         ++i) {
        const float x = samples[i];
        const float c = std::isnan(x) ? 1.0f : std::fmax(-1.0f, std::fmin(1.0f, x));
        const long value = std::lround(c < 0 ? c * 32768.0f : c * 32767.0f);
        const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
        for (const auto byte : {bits & 0xFF, bits >> 8}) {
            hex += digits[byte >> 4];
            hex += digits[byte & 0xF];
        }
    }
    return hex;
}

TEST(WebSocketCapture, StreamsEachBlockAsItsSixteenBitConversionAndClosesWithGoingAway) {
    Scenario scenario;
    constexpr std::size_t referenceBlocks = 80;
    const auto reference = referenceAudio(scenario, referenceBlocks);
    ASSERT_EQ(reference.size(), referenceBlocks * framesPerCallback * 2)
        << "the standard-output capture delivered too little";

    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url("/capture?id=7")});
    const auto startup =
        capture.lineWhere([](const json& line) { return line.contains("transport"); });
    ASSERT_TRUE(startup);
    EXPECT_EQ((*startup)["success"], true);
    EXPECT_EQ((*startup)["transport"], "websocket");
    EXPECT_EQ((*startup)["format"], "pcm_s16le");
    const auto connected = peer.waitFor("connected");
    ASSERT_TRUE(connected);
    EXPECT_EQ((*connected)["path"], "/capture?id=7");

    const auto messages = peer.binaryMessages(30);
    ASSERT_EQ(messages.size(), 30u);
    std::size_t block = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(messages[i]["size"], blockBytes);
        // Blocks may have been dropped while the connection opened, never reordered or altered.
        while (block < referenceBlocks &&
               referencePayloadHex(reference, block) != messages[i]["hex"]) {
            ++block;
        }
        ASSERT_LT(block, referenceBlocks) << "message " << i << " is no block's conversion";
        ++block;
    }
    bool clamped = false;
    for (const auto& message : messages) {
        const std::string hex = message["hex"];
        clamped = clamped || hex.find("ff7f") != std::string::npos;
    }
    EXPECT_TRUE(clamped) << "the overshooting tone never reached full scale";

    capture.terminateWithGoingAway(peer);
}

TEST(WebSocketCapture, CountsTwoBytesASample) {
    Scenario scenario;
    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url()});
    const auto stats = capture.diagnosticsLine();
    ASSERT_TRUE(stats);
    EXPECT_GT((*stats)["frames"].get<std::int64_t>(), 0);
    EXPECT_EQ((*stats)["bytes"], (*stats)["frames"].get<std::int64_t>() * 4);
    EXPECT_EQ(capture.terminate(), 0);
}

TEST(WebSocketCapture, ServerMessagesAndPingsDoNotDisturbTheStream) {
    Scenario scenario;
    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url()});
    ASSERT_TRUE(peer.waitFor("connected"));
    for (const std::string command : {"text hello", "binary 00ff00ff", "ping", "text {}"}) {
        peer.command(command);
        ASSERT_TRUE(peer.waitFor("done"));
    }
    EXPECT_TRUE(peer.waitFor("pong"));
    peer.binaryMessages(1'000'000, 50ms);  // what came before
    EXPECT_EQ(peer.binaryMessages(20).size(), 20u) << "the stream stopped";
    capture.terminateWithGoingAway(peer);
}

TEST(WebSocketCapture, AStalledServerCostsNoMemoryAndTheStreamResumes) {
    Scenario scenario;
    // A small receive window: a paused server stalls the sender within a second or so.
    WebSocketPeer peer({"--receive-buffer", "8192"});
    // Under AddressSanitizer freed blocks wait in a quarantine that would look like growth.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    Capture capture(
        scenario, {"--ws-url", peer.url()},
        {{"ASAN_OPTIONS", std::string(sanitizerOptions ? sanitizerOptions : "") +
                              ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"}});
    ASSERT_TRUE(peer.waitFor("connected"));
    std::size_t received = peer.binaryMessages(5).size();
    ASSERT_EQ(received, 5u);
    peer.command("pause");
    ASSERT_TRUE(peer.waitFor("done"));

    // Once the socket buffers are full the window holds and later blocks are dropped: the
    // process's memory stays where it was while the capture goes on.
    ASSERT_TRUE(capture.diagnosticsLine());
    const long residentStalled = capture.residentKibibytes();
    ASSERT_TRUE(capture.diagnosticsLine());
    const auto stalledStats = capture.diagnosticsLine();
    ASSERT_TRUE(stalledStats);
    const long residentLater = capture.residentKibibytes();
    std::printf(
        "capture process resident while the server is stalled: %ld KiB, then %ld KiB six "
        "seconds later\n",
        residentStalled, residentLater);
    EXPECT_LT(residentLater - residentStalled, 1024);

    received += peer.binaryMessages(1'000'000, 100ms).size();
    peer.command("resume");
    const auto afterResume = peer.binaryMessages(1'000'000, 3s);
    received += afterResume.size();
    const auto producedBeforeResume = (*stalledStats)["frames"].get<std::size_t>() / 480;
    // Fresh blocks flow again (3 s is 300 blocks), and most of the stalled period's never came:
    // fewer arrived in all than were produced before the server read again.
    EXPECT_GT(afterResume.size(), 100u);
    EXPECT_LT(received, producedBeforeResume) << "blocks were queued rather than dropped";
    std::printf("%zu blocks produced before resuming, %zu messages received in all\n",
                producedBeforeResume, received);
    EXPECT_EQ(capture.terminate(), 0);
    capture.expectNoErrorLine();
}

TEST(WebSocketCapture, ARefusedConnectionIsReportedAndTheCaptureRunsOn) {
    Scenario scenario;
    Capture capture(scenario,
                    {"--ws-url", "ws://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/"});
    const auto failure = capture.lineWhere([](const json& line) { return line.contains("error"); });
    ASSERT_TRUE(failure);
    EXPECT_EQ((*failure)["error"], "monitor_audio_websocket_receive_failed:Connection refused");
    const auto stats = capture.diagnosticsLine();
    ASSERT_TRUE(stats) << "the capture stopped with the connection";
    EXPECT_GT((*stats)["frames"].get<std::int64_t>(), 0);
    EXPECT_EQ(capture.terminate(), 0);
}

TEST(WebSocketCapture, AKilledServerIsReportedAndTheCaptureRunsOn) {
    Scenario scenario;
    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url()});
    ASSERT_EQ(peer.binaryMessages(10).size(), 10u);
    peer.kill();
    const auto failure = capture.lineWhere([](const json& line) {
        return isErrorLine(line, "monitor_audio_websocket_receive_failed:") ||
               isErrorLine(line, "monitor_audio_websocket_send_failed:");
    });
    ASSERT_TRUE(failure);
    const auto stats = capture.diagnosticsLine();
    ASSERT_TRUE(stats) << "the capture stopped with the connection";
    EXPECT_EQ(capture.terminate(), 0);
    EXPECT_LE(receiveFailuresAmongErrors(capture), 1);
}

TEST(WebSocketCapture, AServerClosingMidStreamIsReportedOnce) {
    Scenario scenario;
    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url()});
    ASSERT_EQ(peer.binaryMessages(10).size(), 10u);
    peer.command("close 1011");
    const auto failure = capture.lineWhere([](const json& line) { return line.contains("error"); });
    ASSERT_TRUE(failure);
    ASSERT_TRUE(capture.diagnosticsLine());
    EXPECT_EQ(capture.terminate(), 0);
    // The receive failure, once; a send in flight when the close frame came fails too, and each
    // such send is reported.
    EXPECT_EQ(receiveFailuresAmongErrors(capture), 1);
}

TEST(WebSocketCapture, AnUntrustedCertificateIsReportedAndTheCaptureRunsOn) {
    SelfSignedCertificate certificate("DNS:localhost,IP:127.0.0.1");
    WebSocketPeer peer({"--cert", certificate.certificate, "--key", certificate.key});
    Scenario scenario;
    Capture capture(scenario,
                    {"--ws-url", "wss://localhost:" + std::to_string(peer.port()) + "/secure"});
    const auto failure = capture.lineWhere([](const json& line) { return line.contains("error"); });
    ASSERT_TRUE(failure);
    EXPECT_TRUE(isErrorLine(*failure, "monitor_audio_websocket_receive_failed:")) << *failure;
    EXPECT_NE((*failure)["error"].get<std::string>().find("certificate verify failed"),
              std::string::npos);
    ASSERT_TRUE(capture.diagnosticsLine());
    EXPECT_EQ(capture.terminate(), 0);
}

#if !defined(__APPLE__)
// On Linux the sink and its TLS libraries live in a module beside the program.

// Which of these libraries the running process has mapped.
std::vector<std::string> mappedLibraries(pid_t pid, const std::vector<std::string>& names) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::vector<std::string> found;
    for (std::string line; std::getline(maps, line);) {
        for (const auto& name : names) {
            if (line.find(name) != std::string::npos &&
                std::find(found.begin(), found.end(), name) == found.end()) {
                found.push_back(name);
            }
        }
    }
    return found;
}

TEST(WebSocketModule, OnlyAWebSocketCaptureMapsTheTLSLibraries) {
    const std::vector<std::string> heavy{"libssl", "libcrypto", "libicu"};
    Scenario scenario;
    {
        Subprocess capture({QOR_SIMULATED_EXECUTABLE, "--output-loopback"}, scenario.environment());
        ASSERT_TRUE(capture.waitForStdoutBytes(1, 10s));
        EXPECT_EQ(mappedLibraries(capture.pid(), heavy), std::vector<std::string>{});
        capture.sendSignal(SIGTERM);
        EXPECT_EQ(capture.wait(20s).exitStatus, 0);
    }
    WebSocketPeer peer;
    Capture capture(scenario, {"--ws-url", peer.url()});
    ASSERT_EQ(peer.binaryMessages(2).size(), 2u);
    const auto mapped = mappedLibraries(capture.process().pid(), heavy);
    EXPECT_NE(std::find(mapped.begin(), mapped.end(), "libssl"), mapped.end());
    EXPECT_EQ(capture.terminate(), 0);
}

TEST(WebSocketModule, AMissingModuleIsReportedAndTheCaptureRunsOn) {
    char pattern[] = "/tmp/qor-module-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path directory(pattern);
    const auto alone = directory / "QorMacAudioCaptureSim";
    std::filesystem::copy_file(QOR_SIMULATED_EXECUTABLE, alone);
    {
        Scenario scenario;
        WebSocketPeer peer;
        Capture capture(scenario, {"--ws-url", peer.url()}, {}, alone.string());
        const auto failure =
            capture.lineWhere([](const json& line) { return line.contains("error"); });
        ASSERT_TRUE(failure);
        const auto text = (*failure)["error"].get<std::string>();
        EXPECT_EQ(text.rfind("monitor_audio_websocket_send_failed:", 0), 0u) << text;
        EXPECT_NE(text.find("QorMacAudioCaptureWebSocket"), std::string::npos) << text;
        const auto stats = capture.diagnosticsLine();
        ASSERT_TRUE(stats) << "the capture stopped without its sink";
        EXPECT_GT((*stats)["frames"].get<std::int64_t>(), 0);
        EXPECT_EQ(capture.terminate(), 0);
        for (const auto& event : peer.drain()) {
            EXPECT_NE(event["event"], "connected") << "nothing was there to connect";
        }
    }
    std::filesystem::remove_all(directory);
}
#endif

}  // namespace
}  // namespace qor
