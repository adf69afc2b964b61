// What the PipeWire backend knows about the server's objects, and the rules that turn it into the
// platform's answers: which clients are applications, which client is a process's audio object,
// and which playback ports feed a tap. Plain data and pure functions, no PipeWire header, so the
// rules are tested without a server.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AudioHardware.h"

namespace qor::pipewire {

using Properties = std::map<std::string, std::string, std::less<>>;

// Optional value of a property; absent and empty are the same.
std::optional<std::string> property(const Properties& properties, std::string_view key);
// A property that holds a non-negative decimal 32-bit integer.
std::optional<std::uint32_t> unsignedProperty(const Properties& properties, std::string_view key);

struct Graph {
    struct Client {
        Properties properties;
        // The registry announces a client with a few properties only; its application properties
        // arrive with its info. Until then the client cannot be matched to a process.
        bool described = false;
    };
    struct Port {
        std::uint32_t node = 0;
        bool output = false;
        bool monitor = false;
        std::string channel;  // audio.channel, empty when the port does not say
    };
    std::map<std::uint32_t, Client> clients;
    std::map<std::uint32_t, Properties> nodes;
    std::map<std::uint32_t, Port> ports;
};

// Set on the capture program's own connections, so that no instance of it is ever offered as an
// application, whatever its file is called.
inline constexpr const char* kCaptureClientProperty = "qor.native-audio.capture";

// The process behind a client: the one the server saw on the socket (pipewire.sec.pid), which a
// client cannot choose. Only a client of PipeWire's PulseAudio server, which connects on its
// clients' behalf and marks them with pulse.server.type, goes by the process it declares
// (application.process.id): that is all the PulseAudio protocol tells the server.
std::optional<std::int32_t> processIdentifierOf(const Properties& client);

// The server's own processes and session managers: never offered as applications.
bool isAudioServerDaemon(const Properties& client);

// A process's audio object: its client with the lowest id (0 when the process is no client).
AudioObjectID processObjectOf(const Graph& graph, std::int32_t pid);

// Every described client with its process: the audio process objects, as the list of them.
std::vector<AudioProcess> processesOf(const Graph& graph);

// The applications a user could pick: described, non-daemon clients other than this program (this
// process, or any instance of it by kCaptureClientProperty), one per application, in client id
// order. `applicationOf` names the application process a client's process belongs to (none: each
// process is its own); the entry carries that process, so a host that picks it keeps the
// application when the process that plays for it is replaced.
std::vector<RunningApplication> applicationsOf(
    const Graph& graph, std::int32_t ownPid, const std::function<bool(std::int32_t)>& processExists,
    const std::function<std::int32_t(std::int32_t)>& applicationOf = {});

bool isPlaybackStream(const Properties& node);

// Which playback streams a tap takes: the streams of the listed clients (mixdown) or every stream
// except theirs (global). A process is listed with all of its clients, so a program that opened a
// second connection is still captured (or still excluded) as one application.
struct StreamSelection {
    bool mixdown = false;
    std::set<AudioObjectID> clients;
    std::set<std::int32_t> processes;
};

StreamSelection selectionFor(const Graph& graph, const TapDescription& description);

enum class Decision { take, skip, undecided };

// Undecided while the stream's client has not been described yet: deciding early could link a
// stream of an excluded application for a moment.
Decision decide(const Graph& graph, const StreamSelection& selection, std::uint32_t node);

// The capture channels (FL, FR) a playback channel is mixed into; none for a low-frequency channel.
std::vector<std::string> captureChannelsFor(std::string_view playbackChannel);

// Every (playback output port, capture input port) pair a tap wants right now.
std::set<std::pair<std::uint32_t, std::uint32_t>> wantedLinks(const Graph& graph,
                                                              std::uint32_t captureNode,
                                                              const StreamSelection& selection);

// The capture node's input port for each channel, once the server has announced them.
std::map<std::string, std::uint32_t> captureInputPorts(const Graph& graph, std::uint32_t node);

// The graph rate: a forced rate, else the current rate from the settings metadata, else the
// server's default, else 48000.
std::uint32_t graphRate(std::optional<std::uint32_t> forcedRate,
                        std::optional<std::uint32_t> settingsRate,
                        std::optional<std::uint32_t> defaultRate);

// Version strings "major.minor.micro" compared numerically; an unreadable version is never enough.
bool versionAtLeast(std::string_view version, std::string_view minimum);

}  // namespace qor::pipewire
