// The executables' command line seen from outside: exit statuses, stdout bytes, stderr lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Subprocess.h"

namespace qor {
namespace {

using testing::lines;
using testing::ProcessResult;
using testing::TemporaryDirectory;

// Runs to the end, started without the standard descriptors in `closed`.
ProcessResult run(std::vector<std::string> arguments, testing::Environment environment,
                  std::vector<int> closed) {
    testing::Subprocess process(std::move(arguments), std::move(environment),
                                {.closed = std::move(closed)});
    return process.wait();
}

// Runs the simulated entry with a scenario written to a temporary file.
ProcessResult simulated(std::vector<std::string> arguments, const nlohmann::json& scenario = {},
                        std::vector<int> closed = {}) {
    TemporaryDirectory directory;
    const std::string path = directory.file("scenario.json");
    std::ofstream(path) << (scenario.is_null() ? nlohmann::json::object() : scenario).dump();
    arguments.insert(arguments.begin(), QOR_SIMULATED_EXECUTABLE);
    return run(arguments, {{"QOR_SIM_SCENARIO", path}}, std::move(closed));
}

ProcessResult product(std::vector<std::string> arguments, std::vector<int> closed = {}) {
    arguments.insert(arguments.begin(), QOR_CAPTURE_EXECUTABLE);
    return run(arguments, {}, std::move(closed));
}

void expectFailure(const ProcessResult& result, const std::string& expectedLine) {
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, expectedLine + "\n");
}

std::string errorLine(const std::string& message) {
    return R"({"error":")" + message + R"(","success":false})";
}

TEST(CommandLine, EveryArgumentErrorIsOneLineAndStatusOne) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--pid"}, "pid_required"},
        {{"--pid", "0"}, "pid_required"},
        {{"--bundle-id", "  "}, "bundle_id_required"},
        {{"--exclude-bundle-id"}, "exclude_bundle_id_required"},
        {{"--ws-url", "http://x"}, "websocket_url_invalid"},
        {{"--ws-url"}, "websocket_url_invalid"},
        {{"--output-loopback", "--ws-url", "ws://127.0.0.1:99999/"}, "websocket_url_invalid"},
        {{"--x"}, "unknown_argument:--x"},
        {{"--pid=42"}, "unknown_argument:--pid=42"},
        {{"a/b"}, "unknown_argument:a\\/b"},
        {{"--microphone", "--capabilities"}, "unsupported_on_platform"},
        {{"--session-volume-set"}, "unsupported_on_platform"},
        {{"--capabilities", "--bogus"}, "unknown_argument:--bogus"},
        {{"--list-sources", "--pid"}, "pid_required"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        expectFailure(product(arguments), errorLine(message));
        expectFailure(simulated(arguments), errorLine(message));
    }
}

TEST(CommandLine, ArgumentsThatAreNotUTF8StillGiveValidJSON) {
    const ProcessResult result = product({"\xFF\xFE\x01\n"});
    EXPECT_EQ(result.exitStatus, 1);
    const auto stderrLines = lines(result.err);
    ASSERT_EQ(stderrLines.size(), 1u);
    const auto parsed = nlohmann::json::parse(stderrLines[0]);
    EXPECT_EQ(parsed["error"], "unknown_argument:\xEF\xBF\xBD\xEF\xBF\xBD\x01\n");
    EXPECT_EQ(parsed["success"], false);
}

TEST(CommandLine, SelectionChecksComeAfterTheSystemTest) {
    expectFailure(simulated({}), errorLine("capture_mode_required"));
    expectFailure(simulated({"--pid", "5"}), errorLine("capture_mode_required"));
    expectFailure(simulated({"--include-tree"}), errorLine("pid_or_bundle_id_required"));
    expectFailure(simulated({}, {{"supported", false}}), errorLine("macos_14_2_required"));
    expectFailure(simulated({"--include-tree"}, {{"supported", false}}),
                  errorLine("macos_14_2_required"));
    expectFailure(simulated({}, {{"supported", false}, {"requirement", "pipewire"}}),
                  errorLine("pipewire_required"));
}

constexpr const char* kCapabilities =
    R"({"applicationAudio":true,"microphone":false,"minimumSystemVersion":"14.2",)"
    R"("sessionVolume":false,"sourceList":true,"success":true,"supported":true,)"
    R"("systemAudio":true,"websocket":true})"
    "\n";

TEST(CommandLine, CapabilitiesWinAndNeedNoParticularSystem) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--capabilities"},
             {"--capabilities", "--list-sources"},
             {"--list-sources", "--capabilities", "--include-tree"}}) {
        const ProcessResult result = simulated(arguments);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, kCapabilities);
        EXPECT_EQ(result.err, "");
    }
    const ProcessResult old = simulated({"--capabilities"}, {{"supported", false}});
    EXPECT_EQ(old.exitStatus, 0);
    EXPECT_EQ(old.out,
              R"({"applicationAudio":false,"microphone":false,"minimumSystemVersion":"14.2",)"
              R"("sessionVolume":false,"sourceList":true,"success":true,"supported":false,)"
              R"("systemAudio":false,"websocket":false})"
              "\n");
}

TEST(CommandLine, SourceListEnvelope) {
    const nlohmann::json scenario = {
        {"ownPid", 7},
        {"supported", false},
        {"applications",
         {{{"pid", 7}, {"bundleId", "com.self"}, {"name", "Self"}},
          {{"pid", 12}, {"bundleId", "org.example/player"}, {"name", "Player \xC3\xA9"}},
          {{"pid", 13},
           {"nameHex",
            "6261642"
            "0FF206e616d65"}}}}};
    const ProcessResult result = simulated({"--list-sources"}, scenario);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              R"({"sources":[{"bundleId":"","id":"process:13","name":"bad )"
              "\xEF\xBF\xBD"
              R"( name","processId":13,"processName":"bad )"
              "\xEF\xBF\xBD"
              R"( name"},{"bundleId":"org.example\/player","id":"application:org.example\/player",)"
              R"("name":"Player )"
              "\xC3\xA9"
              R"(","processId":12,"processName":"Player )"
              "\xC3\xA9"
              R"("}],"success":true})"
              "\n");
    const ProcessResult empty =
        simulated({"--list-sources"}, {{"applications", nlohmann::json::array()}});
    EXPECT_EQ(empty.out, "{\"sources\":[],\"success\":true}\n");
}

TEST(CommandLine, ClosedStandardDescriptorsAtStart) {
    // A closed standard output fails whatever would be written there.
    const std::string failed =
        errorLine("output_write_failed:" + std::string(std::strerror(EBADF)));
    expectFailure(product({"--capabilities"}, {1}), failed);
    expectFailure(simulated({"--list-sources"}, {}, {1}), failed);
    const ProcessResult capture =
        simulated({"--output-loopback"}, {{"applications", nlohmann::json::array()}}, {1});
    EXPECT_EQ(capture.exitStatus, 1);
    EXPECT_EQ(lines(capture.err).back(), failed);

    // The others closed take nothing from the output, and nothing else writes into their place.
    for (int fd : {0, 2}) {
        const ProcessResult capabilities = simulated({"--capabilities"}, {}, {fd});
        EXPECT_EQ(capabilities.exitStatus, 0) << fd;
        EXPECT_EQ(capabilities.out, kCapabilities) << fd;
        EXPECT_EQ(capabilities.exitStatus, product({"--capabilities"}, {fd}).exitStatus) << fd;
    }
    const ProcessResult refused = product({"--x"}, {2});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.out + refused.err, "");
}

TEST(CommandLine, PlatformStepFailuresCarryTheirStatus) {
    const nlohmann::json players = {
        {{"pid", 100}, {"bundleId", "com.a"}, {"name", "A"}, {"audioObject", 501}},
        {{"pid", 101}, {"bundleId", "com.silent"}, {"name", "S"}},
        {{"pid", 102}, {"bundleId", "com.f"}, {"name", "F"}, {"translateStatus", -66}}};
    const std::vector<std::pair<std::string, std::string>> steps{
        {"createProcessTap", "create_process_tap"},
        {"readTapUID", "read_tap_uid"},
        {"readTapFormat", "read_tap_format"},
        {"createAggregateDevice", "create_aggregate_device"},
        {"createIOProc", "create_io_proc"}};
    for (const auto& [operation, step] : steps) {
        const ProcessResult result =
            simulated({"--include-tree", "--pid", "100"},
                      {{"applications", players}, {"failures", {{operation, 1852797029}}}});
        expectFailure(result, errorLine(step + ":1852797029"));
    }
    expectFailure(simulated({"--include-tree", "--pid", "101"}, {{"applications", players}}),
                  errorLine("audio_process_not_found"));
    expectFailure(simulated({"--include-tree", "--pid", "102"}, {{"applications", players}}),
                  errorLine("translate_pid_to_audio_process:-66"));
    expectFailure(
        simulated({"--include-tree", "--pid", "100"},
                  {{"applications", players}, {"format", {{"bits", 16}, {"float", false}}}}),
        errorLine("unsupported_tap_audio_format"));
}

TEST(CommandLine, StartFailureComesAfterTheStartupLine) {
    const ProcessResult result =
        simulated({"--output-loopback"}, {{"failures", {{"deviceStart", -50}}}});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    const auto stderrLines = lines(result.err);
    ASSERT_EQ(stderrLines.size(), 2u);
    EXPECT_EQ(stderrLines[0],
              R"({"channels":2,"format":"float32le","mode":0,"pid":0,"sampleRate":48000,)"
              R"("source":"output_loopback","sourceSampleRate":48000,"success":true,)"
              R"("transport":"stdout"})");
    EXPECT_EQ(stderrLines[1], errorLine("start_aggregate_device:-50"));
}

}  // namespace
}  // namespace qor
