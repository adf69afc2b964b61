// A real browser from the distribution, playing through PipeWire's PulseAudio server: it plays
// from an audio service, a child process that it restarts when the service dies. The host names
// the browser; the capture must keep hearing it across such a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "AudioAnalysis.h"
#include "PipeWireTestSupport.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::Subprocess;

constexpr std::size_t kBytesPerSecond = 48000 * 2 * 4;

// A 440 Hz tone at half scale. When its player stops (the audio service died under it) the page
// builds a new one, as media pages do.
constexpr const char* kPage = R"(<!doctype html><meta charset="utf-8"><script>
let context = null, last = -1, stalled = 0;
function start() {
  if (context) context.close().catch(() => {});
  context = new AudioContext();
  const tone = context.createOscillator(), level = context.createGain();
  tone.frequency.value = 440;
  level.gain.value = 0.5;
  tone.connect(level).connect(context.destination);
  tone.start();
  context.onerror = () => setTimeout(start, 1000);
  last = -1;
}
setInterval(() => {
  const time = context.currentTime;
  stalled = context.state !== 'running' || time === last ? stalled + 1 : 0;
  if (stalled >= 4) { stalled = 0; start(); }
  last = time;
}, 250);
start();
</script>)";

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The browser's audio service: its child whose command line names the service.
std::optional<int> audioServiceOf(int browser) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos || std::atoi(stat.c_str() + close + 4) != browser) {
            continue;
        }
        if (readFile(entry.path() / "cmdline").find("audio.mojom.AudioService") !=
            std::string::npos) {
            return std::stoi(name);
        }
    }
    return std::nullopt;
}

// The playback stream of a process that plays through the PulseAudio server, and its client.
struct Playback {
    int pid = 0;
    std::uint32_t client = 0, node = 0;
};

std::optional<Playback> playbackOf(const json& dump, int pid) {
    for (const json& node : testing::objectsOfType(dump, "PipeWire:Interface:Node")) {
        const json& props = node.at("info").at("props");
        const json process = props.value("application.process.id", json());
        if (props.value("media.class", "") == "Stream/Output/Audio" &&
            (process == pid || process == std::to_string(pid))) {
            return Playback{pid, props.value("client.id", 0u), node.value("id", 0u)};
        }
    }
    return std::nullopt;
}

// Waits until the browser plays from an audio service other than `previous`.
std::optional<Playback> waitForPlayback(int browser, int previous, std::chrono::seconds timeout) {
    std::optional<Playback> found;
    testing::waitForServer(
        [&](const json& dump) {
            const auto service = audioServiceOf(browser);
            found = service && *service != previous ? playbackOf(dump, *service) : std::nullopt;
            return found.has_value();
        },
        timeout);
    return found;
}

std::vector<int> listedPids() {
    auto listing = testing::runProcess({QOR_CAPTURE_EXECUTABLE, "--list-sources"});
    EXPECT_EQ(listing.exitStatus, 0) << listing.err;
    std::vector<int> pids;
    const json list = json::parse(listing.out);
    for (const json& source : list.at("sources")) {
        pids.push_back(source.value("processId", 0));
    }
    return pids;
}

TEST(PipeWireBrowser, TheCaptureOfABrowserHearsItAgainOnceItRestartsItsAudioService) {
    testing::TemporaryDirectory directory;
    std::ofstream(directory.file("tone.html")) << kPage;
    std::vector<std::string> arguments{"/usr/bin/chromium",
                                       "--headless",
                                       "--autoplay-policy=no-user-gesture-required",
                                       "--disable-crash-reporter",
                                       "--no-first-run",
                                       "--user-data-dir=" + directory.file("profile"),
                                       "file://" + directory.file("tone.html")};
    if (::geteuid() == 0) {
        arguments.insert(arguments.begin() + 1, "--no-sandbox");  // it refuses to run otherwise
    }
    Subprocess browser(arguments, {{"HOME", directory.path()}});
    const auto first = waitForPlayback(browser.pid(), 0, 60s);
    ASSERT_TRUE(first) << browser.describe();
    auto sources = listedPids();
    EXPECT_EQ(std::count(sources.begin(), sources.end(), browser.pid()), 1);
    EXPECT_EQ(std::count(sources.begin(), sources.end(), first->pid), 0);

    auto capture = std::make_unique<Subprocess>(std::vector<std::string>{
        QOR_CAPTURE_EXECUTABLE, "--include-tree", "--pid", std::to_string(browser.pid())});
    ASSERT_TRUE(capture->waitForStdoutBytes(2 * kBytesPerSecond, 20s)) << capture->describe();
    const auto before = testing::toneLevels(testing::floatsFromBytes(capture->out()), 440);
    EXPECT_NEAR(testing::loudest(before), 0.5, 0.05) << testing::describe(before);

    ASSERT_EQ(::kill(first->pid, SIGKILL), 0);
    const auto second = waitForPlayback(browser.pid(), first->pid, 30s);
    ASSERT_TRUE(second) << "the browser did not play again";
    // The server may hand the new service's client and stream the ids the old ones had.
    std::cout << "client " << first->client << " -> " << second->client << ", stream "
              << first->node << " -> " << second->node << "\n";
    const std::size_t playing = capture->out().size();
    ASSERT_TRUE(capture->waitForStdoutBytes(playing + 3 * kBytesPerSecond, 20s))
        << capture->describe();
    EXPECT_TRUE(capture->running());
    // From two seconds after the browser played again: the tone in every quarter second.
    const auto samples =
        testing::floatsFromBytes(capture->out().substr(0, playing + 3 * kBytesPerSecond));
    const std::size_t from = playing / 4 + 2 * 48000 * 2;
    for (std::size_t quarter = 0; quarter < 4; ++quarter) {
        const auto window =
            testing::channel(std::span(samples).subspan(from + quarter * 24000, 24000), 0);
        EXPECT_GT(testing::amplitudeAt(window, 48000, 440), 0.25) << "quarter " << quarter;
    }
    sources = listedPids();
    EXPECT_EQ(std::count(sources.begin(), sources.end(), browser.pid()), 1);
    EXPECT_EQ(std::count(sources.begin(), sources.end(), second->pid), 0);

    capture->sendSignal(SIGTERM);
    EXPECT_EQ(capture->wait(10s).exitStatus, 0);
    browser.sendSignal(SIGTERM);
    browser.wait(20s);
}

}  // namespace
}  // namespace qor
