#include "PipeWireGraph.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace qor::pipewire {

namespace {

constexpr std::array kLeftChannels = {"FL",  "SL",  "RL",  "FLC", "RLC", "TFL",
                                      "TRL", "TSL", "FLW", "FLH", "BLC", "TFLC"};
constexpr std::array kRightChannels = {"FR",  "SR",  "RR",  "FRC", "RRC", "TFR",
                                       "TRR", "TSR", "FRW", "FRH", "BRC", "TFRC"};
constexpr std::array kLowFrequencyChannels = {"LFE", "LFE2", "LLFE", "RLFE"};

template <std::size_t N>
bool contains(const std::array<const char*, N>& names, std::string_view name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const char* candidate) { return name == candidate; });
}

std::optional<std::int32_t> clientProcess(const Graph& graph, std::uint32_t client) {
    auto found = graph.clients.find(client);
    if (found == graph.clients.end() || !found->second.described) {
        return std::nullopt;
    }
    return processIdentifierOf(found->second.properties);
}

}  // namespace

std::optional<std::string> property(const Properties& properties, std::string_view key) {
    auto found = properties.find(key);
    if (found == properties.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::uint32_t> unsignedProperty(const Properties& properties, std::string_view key) {
    auto text = property(properties, key);
    if (!text) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const char* end = text->data() + text->size();
    auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> processIdentifierOf(const Properties& client) {
    const bool speaksForOthers = property(client, "pulse.server.type").has_value();
    const auto pid =
        unsignedProperty(client, speaksForOthers ? "application.process.id" : "pipewire.sec.pid");
    if (pid && *pid > 0 && *pid <= 0x7fffffffu) {
        return static_cast<std::int32_t>(*pid);
    }
    return std::nullopt;
}

bool isAudioServerDaemon(const Properties& client) {
    auto binary = property(client, "application.process.binary");
    if (!binary) {
        return false;
    }
    // pipewire, pipewire-pulse, pipewire-avb and the like are all the server's own processes.
    return binary->rfind("pipewire", 0) == 0 || *binary == "wireplumber";
}

AudioObjectID processObjectOf(const Graph& graph, std::int32_t pid) {
    for (const auto& [id, client] : graph.clients) {
        if (client.described && processIdentifierOf(client.properties) == pid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

std::vector<AudioProcess> processesOf(const Graph& graph) {
    std::vector<AudioProcess> processes;
    for (const auto& [id, client] : graph.clients) {
        if (auto pid = client.described ? processIdentifierOf(client.properties) : std::nullopt) {
            processes.push_back({id, *pid});
        }
    }
    return processes;
}

std::vector<RunningApplication> applicationsOf(
    const Graph& graph, std::int32_t ownPid, const std::function<bool(std::int32_t)>& processExists,
    const std::function<std::int32_t(std::int32_t)>& applicationOf) {
    std::vector<RunningApplication> applications;
    std::set<std::int32_t> seen;
    for (const auto& [id, client] : graph.clients) {
        auto pid = processIdentifierOf(client.properties);
        if (!client.described || !pid || *pid == ownPid || isAudioServerDaemon(client.properties) ||
            property(client.properties, kCaptureClientProperty)) {
            continue;
        }
        pid = applicationOf ? applicationOf(*pid) : *pid;
        if (!seen.insert(*pid).second) {
            continue;
        }
        RunningApplication application;
        application.processIdentifier = *pid;
        application.bundleIdentifier = property(client.properties, "application.id");
        if (!application.bundleIdentifier) {
            application.bundleIdentifier =
                property(client.properties, "application.process.binary");
        }
        application.localizedName = property(client.properties, "application.name");
        application.isTerminated = !processExists(*pid);
        application.activationPolicy = ActivationPolicy::regular;
        applications.push_back(std::move(application));
    }
    return applications;
}

bool isPlaybackStream(const Properties& node) {
    return property(node, "media.class") == "Stream/Output/Audio";
}

StreamSelection selectionFor(const Graph& graph, const TapDescription& description) {
    StreamSelection selection;
    selection.mixdown = description.kind == TapDescription::Kind::stereoMixdownOfProcesses;
    for (AudioObjectID client : description.processes) {
        selection.clients.insert(client);
        if (auto pid = clientProcess(graph, client)) {
            selection.processes.insert(*pid);
        }
    }
    return selection;
}

Decision decide(const Graph& graph, const StreamSelection& selection, std::uint32_t node) {
    auto found = graph.nodes.find(node);
    if (found == graph.nodes.end() || !isPlaybackStream(found->second)) {
        return Decision::skip;
    }
    bool listed = false;
    if (auto client = unsignedProperty(found->second, "client.id")) {
        auto owner = graph.clients.find(*client);
        if (owner != graph.clients.end() && !owner->second.described) {
            return Decision::undecided;
        }
        auto pid = clientProcess(graph, *client);
        listed =
            selection.clients.count(*client) > 0 || (pid && selection.processes.count(*pid) > 0);
    }
    return listed == selection.mixdown ? Decision::take : Decision::skip;
}

std::vector<std::string> captureChannelsFor(std::string_view playbackChannel) {
    if (contains(kLeftChannels, playbackChannel)) {
        return {"FL"};
    }
    if (contains(kRightChannels, playbackChannel)) {
        return {"FR"};
    }
    if (contains(kLowFrequencyChannels, playbackChannel)) {
        return {};
    }
    // Mono, centre, auxiliary or unnamed channels belong to both sides.
    return {"FL", "FR"};
}

std::map<std::string, std::uint32_t> captureInputPorts(const Graph& graph, std::uint32_t node) {
    std::map<std::string, std::uint32_t> inputs;
    for (const auto& [id, port] : graph.ports) {
        if (port.node == node && !port.output && (port.channel == "FL" || port.channel == "FR")) {
            inputs.emplace(port.channel, id);
        }
    }
    return inputs;
}

std::set<std::pair<std::uint32_t, std::uint32_t>> wantedLinks(const Graph& graph,
                                                              std::uint32_t captureNode,
                                                              const StreamSelection& selection) {
    std::set<std::pair<std::uint32_t, std::uint32_t>> links;
    auto inputs = captureInputPorts(graph, captureNode);
    if (inputs.empty()) {
        return links;
    }
    for (const auto& [id, port] : graph.ports) {
        if (!port.output || port.monitor || port.node == captureNode ||
            decide(graph, selection, port.node) != Decision::take) {
            continue;
        }
        for (const auto& channel : captureChannelsFor(port.channel)) {
            if (auto input = inputs.find(channel); input != inputs.end()) {
                links.emplace(id, input->second);
            }
        }
    }
    return links;
}

std::uint32_t graphRate(std::optional<std::uint32_t> forcedRate,
                        std::optional<std::uint32_t> settingsRate,
                        std::optional<std::uint32_t> defaultRate) {
    for (auto rate : {forcedRate, settingsRate, defaultRate}) {
        if (rate && *rate > 0) {
            return *rate;
        }
    }
    return 48000;
}

bool versionAtLeast(std::string_view version, std::string_view minimum) {
    auto parse = [](std::string_view text) -> std::optional<std::array<unsigned, 3>> {
        std::array<unsigned, 3> parts{};
        const char* cursor = text.data();
        const char* end = text.data() + text.size();
        for (std::size_t index = 0; index < parts.size(); ++index) {
            auto [stop, error] = std::from_chars(cursor, end, parts[index]);
            if (error != std::errc()) {
                if (index == 0) {
                    return std::nullopt;
                }
                break;
            }
            cursor = stop;
            if (cursor == end || *cursor != '.') {
                break;
            }
            ++cursor;
        }
        return parts;
    };
    auto have = parse(version);
    auto need = parse(minimum);
    return have && need && *have >= *need;
}

}  // namespace qor::pipewire
