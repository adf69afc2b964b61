#include "Entry.h"

#include <fcntl.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <csignal>
#include <memory>

#include "AudioSinks.h"
#include "CLIOptions.h"
#include "CoreAudioTapCapture.h"
#include "Diagnostics.h"
#include "HelperError.h"
#include "HostWatch.h"
#include "ProcessCatalog.h"
#include "WebSocketSinkTable.h"

namespace qor {

namespace {

const char* minimumSystemVersion(SystemRequirement requirement) {
    return requirement == SystemRequirement::macOS14_2 ? "14.2" : kPipeWireMinimumServerVersion;
}

const char* unsupportedSystemMessage(SystemRequirement requirement) {
    return requirement == SystemRequirement::macOS14_2 ? "macos_14_2_required"
                                                       : "pipewire_required";
}

void writeCapabilities(SystemSupport& system) {
    const bool supported = system.captureSupported();
    const int failure = Diagnostics::write(
        JSON{
            {"applicationAudio", supported},
            {"microphone", false},
            {"minimumSystemVersion", minimumSystemVersion(system.requirement())},
            {"sessionVolume", false},
            {"sourceList", true},
            {"success", true},
            {"supported", supported},
            {"systemAudio", supported},
            {"websocket", supported},
        },
        Diagnostics::standardOutput);
    if (failure != 0) {
        throw HelperError::runtime(outputWriteFailedMessage(failure));
    }
}

// The source list is written without the writer's lock: nothing else runs yet.
void writeSourceList(Workspace& workspace) {
    JSON sources = JSON::array();
    for (const CaptureSource& source : ProcessCatalog::listApplications(workspace)) {
        sources.push_back(source.toJSON());
    }
    auto text = Diagnostics::serialize(JSON{{"success", true}, {"sources", std::move(sources)}});
    if (!text) {
        throw HelperError::runtime("source_list_encoding_failed");
    }
    int failure = writeAll(Diagnostics::standardOutput, text->data(), text->size());
    if (failure == 0) {
        failure = writeAll(Diagnostics::standardOutput, "\n", 1);
    }
    if (failure != 0) {
        throw HelperError::runtime(outputWriteFailedMessage(failure));
    }
}

void checkSelection(const CLIOptions& options) {
    if (!options.selection) {
        throw HelperError::invalidArgument("capture_mode_required");
    }
    if (options.selection == CaptureSelection::include && options.pid <= 0 &&
        options.bundleIDs.empty()) {
        throw HelperError::invalidArgument("pid_or_bundle_id_required");
    }
}

// The host's exit stops the capture as SIGTERM does. The host's end of standard error may have gone
// with it, so the last line is written only after the stop, with a broken pipe no longer fatal.
void stopWhenHostExits(std::int32_t host, const std::shared_ptr<CoreAudioTapCapture>& session) {
    std::weak_ptr<CoreAudioTapCapture> weak = session;
    hostwatch::watchProcessExit(host, [weak, host] {
        boost::asio::post(MainQueue::context(), [weak, host] {
            if (auto capture = weak.lock()) {
                capture->stop();
            }
            std::signal(SIGPIPE, SIG_IGN);
            Diagnostics::write(JSON{{"event", "host_exited"}, {"pid", host}},
                               Diagnostics::standardError);
            MainQueue::context().stop();
        });
    });
}

void capture(const CLIOptions& options, Platform& platform) {
    const std::optional<std::int32_t> host = hostwatch::watchedProcess();
    if (!host) {
        throw HelperError::invalidArgument("watch_pid_invalid");
    }
    std::shared_ptr<AudioSink> sink;
    if (options.webSocketURL) {
        sink = makeWebSocketSink(*options.webSocketURL);
    } else {
        sink = std::make_shared<StandardOutputSink>();
    }
    auto session = CoreAudioTapCapture::create(options, sink, platform);
    if (*host > 0) {
        stopWhenHostExits(*host, session);
    }
    // After the last stop, a callback still running on the I/O queue may hold the capture; let it
    // finish so the capture and the sink are released here, on the main thread, before the process
    // ends, and not on the I/O queue while the process is already exiting.
    try {
        session->run();
    } catch (...) {
        session->stop();
        session->drainIOQueue(std::chrono::seconds(1));
        throw;
    }
    session->stop();
    session->drainIOQueue(std::chrono::seconds(1));
}

}  // namespace

void reserveStandardDescriptors() {
    // In ascending order: the lower ones are open by then, so open() takes this very number.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            (void)::open("/dev/null", O_RDONLY);
        }
    }
}

int runCaptureProgram(std::span<const std::string> arguments, Platform& platform) {
    try {
        const CLIOptions options = CLIOptions::parse(arguments);
        if (options.showCapabilities) {
            writeCapabilities(platform.system);
            return 0;
        }
        if (options.listSources) {
            // The applications come from the audio server where there is one: without it there is
            // no list to give, which is not the same as an empty one.
            if (platform.system.requirement() == SystemRequirement::pipeWireServer &&
                !platform.system.captureSupported()) {
                throw HelperError::unsupported(
                    unsupportedSystemMessage(platform.system.requirement()));
            }
            writeSourceList(platform.workspace);
            return 0;
        }
        if (!platform.system.captureSupported()) {
            throw HelperError::unsupported(unsupportedSystemMessage(platform.system.requirement()));
        }
        checkSelection(options);
        capture(options, platform);
        return 0;
    } catch (const HelperError& error) {
        Diagnostics::error(error.description());
    } catch (const std::exception& error) {
        Diagnostics::error(error.what());
    }
    return 1;
}

}  // namespace qor
