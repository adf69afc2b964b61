// The PipeWire backend's rules on a graph built by hand: which clients are applications, which
// client stands for a process, which playback ports feed a tap.
#include <gtest/gtest.h>

#include "PipeWireGraph.h"

namespace qor::pipewire {
namespace {

Graph::Client client(Properties properties, bool described = true) {
    return Graph::Client{std::move(properties), described};
}

Properties application(const std::string& name, int pid, const std::string& binary) {
    return {{"application.name", name},
            {"application.process.id", std::to_string(pid)},
            {"application.process.binary", binary},
            {"pipewire.sec.pid", std::to_string(pid)}};
}

Properties playback(std::uint32_t clientID) {
    return {{"media.class", "Stream/Output/Audio"}, {"client.id", std::to_string(clientID)}};
}

bool alwaysAlive(std::int32_t) {
    return true;
}

// Two players (one with two connections), the session manager, a sink with monitor ports and a
// capture node 90 with its two inputs.
Graph desktop() {
    Graph graph;
    graph.clients[31] = client(application("WirePlumber", 100, "wireplumber"));
    graph.clients[32] = client(application("WirePlumber [export]", 100, "wireplumber"));
    graph.clients[40] = client(application("Player A", 200, "player-a"));
    graph.clients[41] = client(application("Player B", 300, "player-b"));
    graph.clients[42] = client(application("Player A", 200, "player-a"));  // A's second connection
    graph.nodes[50] = {{"media.class", "Audio/Sink"}};
    graph.nodes[60] = playback(40);
    graph.nodes[61] = playback(41);
    graph.nodes[62] = playback(42);
    graph.nodes[90] = {{"media.class", "Stream/Input/Audio"}};
    graph.ports[51] = {50, true, true, "FL"};  // the sink's monitor
    graph.ports[52] = {50, true, true, "FR"};
    graph.ports[70] = {60, true, false, "FL"};
    graph.ports[71] = {60, true, false, "FR"};
    graph.ports[72] = {61, true, false, "MONO"};
    graph.ports[73] = {62, true, false, "FL"};
    graph.ports[91] = {90, false, false, "FL"};
    graph.ports[92] = {90, false, false, "FR"};
    return graph;
}

TEST(PipeWireGraph, ProcessIdentifierIsTheServersWordUnlessThePulseServerRelays) {
    // A native client may declare any pid; the socket's pid is the one it cannot choose.
    EXPECT_EQ(processIdentifierOf({{"application.process.id", "200"}, {"pipewire.sec.pid", "7"}}),
              7);
    EXPECT_EQ(processIdentifierOf({{"application.process.id", "200"}}), std::nullopt);
    // A client relayed by the PulseAudio server reports the application's pid; the socket's pid
    // is the relay's.
    const Properties relayed = {{"application.process.id", "200"},
                                {"pipewire.sec.pid", "7"},
                                {"pulse.server.type", "unix"}};
    EXPECT_EQ(processIdentifierOf(relayed), 200);
    EXPECT_EQ(processIdentifierOf({{"pipewire.sec.pid", "7"}, {"pulse.server.type", "tcp"}}),
              std::nullopt);
    EXPECT_EQ(processIdentifierOf({{"pipewire.sec.pid", "0"}}), std::nullopt);
    EXPECT_EQ(processIdentifierOf({{"pipewire.sec.pid", "4294967295"}}), std::nullopt);
    EXPECT_EQ(processIdentifierOf({}), std::nullopt);
}

TEST(PipeWireGraph, DaemonsAreTheServersOwnProcesses) {
    for (const char* binary : {"pipewire", "pipewire-pulse", "pipewire-avb", "wireplumber"}) {
        EXPECT_TRUE(isAudioServerDaemon({{"application.process.binary", binary}})) << binary;
    }
    for (const char* binary : {"firefox", "pw-cat", "qor-tone-440", "wireplumberish"}) {
        EXPECT_FALSE(isAudioServerDaemon({{"application.process.binary", binary}})) << binary;
    }
    EXPECT_FALSE(isAudioServerDaemon({}));
}

TEST(PipeWireGraph, ApplicationsAreDescribedNonDaemonClientsOnePerProcess) {
    Graph graph = desktop();
    graph.clients[43] = client(application("Me", 400, "QorMacAudioCapture"));
    graph.clients[44] = client({{"pipewire.sec.pid", "500"}}, false);  // not described yet
    graph.clients[45] = client(application("Gone", 600, "gone"));
    graph.clients[46] = client(application("Another capture", 700, "renamed-copy"));
    graph.clients[46].properties[kCaptureClientProperty] = "true";
    graph.clients[41].properties["application.id"] = "org.example.PlayerB";

    const auto applications =
        applicationsOf(graph, 400, [](std::int32_t pid) { return pid != 600; });

    ASSERT_EQ(applications.size(), 3u);
    EXPECT_EQ(applications[0].processIdentifier, 200);
    EXPECT_EQ(applications[0].localizedName, "Player A");
    EXPECT_EQ(applications[0].bundleIdentifier, "player-a");  // the binary when there is no id
    EXPECT_FALSE(applications[0].isTerminated);
    EXPECT_EQ(applications[0].activationPolicy, ActivationPolicy::regular);
    EXPECT_EQ(applications[1].processIdentifier, 300);
    EXPECT_EQ(applications[1].bundleIdentifier, "org.example.PlayerB");
    EXPECT_EQ(applications[2].processIdentifier, 600);
    EXPECT_TRUE(applications[2].isTerminated);
}

TEST(PipeWireGraph, AnApplicationWithoutNameOrBinaryHasNeither) {
    Graph graph;
    graph.clients[40] = client({{"pipewire.sec.pid", "200"}});
    const auto applications = applicationsOf(graph, 1, alwaysAlive);
    ASSERT_EQ(applications.size(), 1u);
    EXPECT_EQ(applications[0].localizedName, std::nullopt);
    EXPECT_EQ(applications[0].bundleIdentifier, std::nullopt);
}

TEST(PipeWireGraph, TheProcessObjectIsTheLowestDescribedClient) {
    Graph graph = desktop();
    EXPECT_EQ(processObjectOf(graph, 200), 40u);
    EXPECT_EQ(processObjectOf(graph, 100), 31u);
    EXPECT_EQ(processObjectOf(graph, 999), kAudioObjectUnknown);
    graph.clients[40].described = false;
    EXPECT_EQ(processObjectOf(graph, 200), 42u);
}

TEST(PipeWireGraph, MixdownTakesEveryStreamOfTheListedProcesses) {
    const Graph graph = desktop();
    TapDescription description;
    description.kind = TapDescription::Kind::stereoMixdownOfProcesses;
    description.processes = {40};
    const StreamSelection selection = selectionFor(graph, description);

    EXPECT_EQ(decide(graph, selection, 60), Decision::take);
    EXPECT_EQ(decide(graph, selection, 62), Decision::take);  // same process, second connection
    EXPECT_EQ(decide(graph, selection, 61), Decision::skip);
    EXPECT_EQ(decide(graph, selection, 50), Decision::skip);  // not a playback stream
    EXPECT_EQ(decide(graph, selection, 90), Decision::skip);
    EXPECT_EQ(decide(graph, selection, 12345), Decision::skip);

    using Links = std::set<std::pair<std::uint32_t, std::uint32_t>>;
    EXPECT_EQ(wantedLinks(graph, 90, selection), (Links{{70, 91}, {71, 92}, {73, 91}}));
}

TEST(PipeWireGraph, GlobalTapTakesEveryStreamButTheListedOnesAndNeverAMonitor) {
    const Graph graph = desktop();
    TapDescription description;
    description.kind = TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    description.processes = {41};
    using Links = std::set<std::pair<std::uint32_t, std::uint32_t>>;
    EXPECT_EQ(wantedLinks(graph, 90, selectionFor(graph, description)),
              (Links{{70, 91}, {71, 92}, {73, 91}}));

    description.processes.clear();
    EXPECT_EQ(wantedLinks(graph, 90, selectionFor(graph, description)),
              (Links{{70, 91}, {71, 92}, {72, 91}, {72, 92}, {73, 91}}));
}

TEST(PipeWireGraph, AStreamOfAnUndescribedClientWaitsForItsDescription) {
    Graph graph = desktop();
    graph.clients[44] = client({{"pipewire.sec.pid", "300"}}, false);
    graph.nodes[63] = playback(44);
    graph.ports[74] = {63, true, false, "FL"};
    TapDescription description;  // global, excluding player B's process
    description.processes = {41};
    const StreamSelection selection = selectionFor(graph, description);

    EXPECT_EQ(decide(graph, selection, 63), Decision::undecided);
    EXPECT_EQ(wantedLinks(graph, 90, selection).count({74, 91}), 0u);

    graph.clients[44] = client(application("Player B", 300, "player-b"));
    EXPECT_EQ(decide(graph, selection, 63), Decision::skip);
}

TEST(PipeWireGraph, AStreamWithoutAVisibleClientIsJudgedByItsClientID) {
    Graph graph = desktop();
    graph.nodes[63] = playback(77);  // client 77 is not visible to us
    graph.nodes[64] = {{"media.class", "Stream/Output/Audio"}};
    TapDescription mixdown;
    mixdown.kind = TapDescription::Kind::stereoMixdownOfProcesses;
    mixdown.processes = {77};
    EXPECT_EQ(decide(graph, selectionFor(graph, mixdown), 63), Decision::take);
    EXPECT_EQ(decide(graph, selectionFor(graph, mixdown), 64), Decision::skip);
    TapDescription global;
    EXPECT_EQ(decide(graph, selectionFor(graph, global), 63), Decision::take);
    EXPECT_EQ(decide(graph, selectionFor(graph, global), 64), Decision::take);
}

TEST(PipeWireGraph, NoLinksBeforeTheCaptureNodeHasItsPorts) {
    Graph graph = desktop();
    graph.ports.erase(91);
    graph.ports.erase(92);
    EXPECT_TRUE(wantedLinks(graph, 90, StreamSelection{}).empty());
}

TEST(PipeWireGraph, PlaybackChannelsFoldIntoLeftAndRight) {
    using Channels = std::vector<std::string>;
    EXPECT_EQ(captureChannelsFor("FL"), Channels{"FL"});
    EXPECT_EQ(captureChannelsFor("RL"), Channels{"FL"});
    EXPECT_EQ(captureChannelsFor("FLC"), Channels{"FL"});
    EXPECT_EQ(captureChannelsFor("FR"), Channels{"FR"});
    EXPECT_EQ(captureChannelsFor("SR"), Channels{"FR"});
    EXPECT_EQ(captureChannelsFor("MONO"), (Channels{"FL", "FR"}));
    EXPECT_EQ(captureChannelsFor("FC"), (Channels{"FL", "FR"}));
    EXPECT_EQ(captureChannelsFor("RC"), (Channels{"FL", "FR"}));
    EXPECT_EQ(captureChannelsFor("AUX3"), (Channels{"FL", "FR"}));
    EXPECT_EQ(captureChannelsFor(""), (Channels{"FL", "FR"}));
    EXPECT_TRUE(captureChannelsFor("LFE").empty());
}

TEST(PipeWireGraph, TheRateIsForcedThenCurrentThenDefault) {
    EXPECT_EQ(graphRate(96000, 44100, 48000), 96000u);
    EXPECT_EQ(graphRate(0, 44100, 48000), 44100u);
    EXPECT_EQ(graphRate(std::nullopt, std::nullopt, 32000), 32000u);
    EXPECT_EQ(graphRate(0, 0, 0), 48000u);
    EXPECT_EQ(graphRate(std::nullopt, std::nullopt, std::nullopt), 48000u);
}

TEST(PipeWireGraph, VersionsCompareNumerically) {
    EXPECT_TRUE(versionAtLeast("0.3.65", "0.3.48"));
    EXPECT_TRUE(versionAtLeast("0.3.48", "0.3.48"));
    EXPECT_TRUE(versionAtLeast("1.0.0", "0.3.48"));
    EXPECT_TRUE(versionAtLeast("0.3.100", "0.3.48"));
    EXPECT_FALSE(versionAtLeast("0.3.9", "0.3.48"));
    EXPECT_FALSE(versionAtLeast("0.2.99", "0.3.48"));
    EXPECT_TRUE(versionAtLeast("1.2", "1.1.9"));
    EXPECT_TRUE(versionAtLeast("0.3.65-rc1", "0.3.65"));
    EXPECT_FALSE(versionAtLeast("", "0.3.48"));
    EXPECT_FALSE(versionAtLeast("unknown", "0.3.48"));
}

}  // namespace
}  // namespace qor::pipewire
