#include <gtest/gtest.h>

#include "CLIOptions.h"

namespace qor {
namespace {

CLIOptions parse(std::vector<std::string> arguments) {
    return CLIOptions::parse(arguments);
}

// The description text of the error that parsing throws, or "" when it succeeds.
std::string failure(std::vector<std::string> arguments) {
    try {
        CLIOptions::parse(arguments);
    } catch (const HelperError& error) {
        return error.description();
    }
    return "";
}

HelperError::Kind failureKind(std::vector<std::string> arguments) {
    try {
        CLIOptions::parse(arguments);
    } catch (const HelperError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "parse succeeded";
    return HelperError::Kind::runtime;
}

TEST(CLIOptions, EmptyListGivesDefaults) {
    const CLIOptions options = parse({});
    EXPECT_FALSE(options.showCapabilities);
    EXPECT_FALSE(options.listSources);
    EXPECT_FALSE(options.selection.has_value());
    EXPECT_EQ(options.pid, 0);
    EXPECT_TRUE(options.bundleIDs.empty());
    EXPECT_TRUE(options.excludedBundleIDs.empty());
    EXPECT_FALSE(options.webSocketURL.has_value());
}

TEST(CLIOptions, SelectionOptionsOverrideEachOtherAndLeaveTheRest) {
    EXPECT_EQ(parse({"--include-tree", "--output-loopback"}).selection,
              CaptureSelection::globalOutput);
    EXPECT_EQ(parse({"--output-loopback", "--exclude-tree"}).selection, CaptureSelection::exclude);
    const CLIOptions options = parse({"--pid", "5"});
    EXPECT_EQ(options.pid, 5);
    EXPECT_FALSE(options.selection.has_value());
    EXPECT_EQ(parse({"--pid", "5", "--include-tree", "--pid", "9"}).pid, 9);
}

TEST(CLIOptions, PidValues) {
    for (const char* good : {"42", "+42", "0042"}) {
        EXPECT_EQ(parse({"--pid", good}).pid, 42) << good;
    }
    EXPECT_EQ(parse({"--pid", "2147483647"}).pid, 2147483647);
    for (const char* bad : {"0", "-7", "abc", "4x", " 42", "42 ", "", "2147483648", "0x10", "+",
                            "-", "++1", "99999999999999999999"}) {
        EXPECT_EQ(failure({"--pid", bad}), "pid_required") << '"' << bad << '"';
    }
    EXPECT_EQ(failure({"--pid"}), "pid_required");
    EXPECT_EQ(failureKind({"--pid"}), HelperError::Kind::invalidArgument);
}

TEST(CLIOptions, BundleIdentifiersAreKeptVerbatimInOrder) {
    const CLIOptions options = parse(
        {"--bundle-id", "a", "--bundle-id", " b ", "--bundle-id", "a", "--exclude-bundle-id", "x"});
    EXPECT_EQ(options.bundleIDs, (std::vector<std::string>{"a", " b ", "a"}));
    EXPECT_EQ(options.excludedBundleIDs, (std::vector<std::string>{"x"}));
    // The value is taken even when it looks like an option.
    EXPECT_EQ(parse({"--bundle-id", "--pid"}).bundleIDs, (std::vector<std::string>{"--pid"}));
}

TEST(CLIOptions, BlankBundleIdentifiersFail) {
    // U+00A0 and U+2028 are white space too.
    for (const char* blank : {"", "   ", "\t\n", "\xC2\xA0", "\xE2\x80\xA8 "}) {
        EXPECT_EQ(failure({"--bundle-id", blank}), "bundle_id_required");
        EXPECT_EQ(failure({"--exclude-bundle-id", blank}), "exclude_bundle_id_required");
    }
    EXPECT_EQ(failure({"--bundle-id"}), "bundle_id_required");
    EXPECT_EQ(failure({"--exclude-bundle-id"}), "exclude_bundle_id_required");
    // Invalid UTF-8 is not white space.
    EXPECT_EQ(parse({"--bundle-id", "\xFF"}).bundleIDs.size(), 1u);
}

TEST(CLIOptions, WebSocketURLs) {
    const CLIOptions options = parse({"--ws-url", "WSS://Example.com:8443/a/b?x=1&y=%2F#frag"});
    ASSERT_TRUE(options.webSocketURL.has_value());
    EXPECT_EQ(options.webSocketURL->text, "WSS://Example.com:8443/a/b?x=1&y=%2F#frag");
    EXPECT_EQ(options.webSocketURL->scheme, "wss");
    EXPECT_EQ(options.webSocketURL->host, "Example.com");
    EXPECT_EQ(options.webSocketURL->effectivePort(), "8443");
    EXPECT_EQ(options.webSocketURL->target, "/a/b?x=1&y=%2F");

    const auto plain = parse({"--ws-url", "ws://127.0.0.1"}).webSocketURL;
    EXPECT_EQ(plain->effectivePort(), "80");
    EXPECT_EQ(plain->target, "/");
    EXPECT_EQ(parse({"--ws-url", "wss://h?q"}).webSocketURL->target, "/?q");
    EXPECT_EQ(parse({"--ws-url", "wss://h"}).webSocketURL->effectivePort(), "443");
    const auto v6 = parse({"--ws-url", "ws://[::1]:9000/p"}).webSocketURL;
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->target, "/p");
    EXPECT_EQ(parse({"--ws-url", "ws://a", "--ws-url", "ws://b"}).webSocketURL->host, "b");

    EXPECT_EQ(parse({"--ws-url", "ws://h:65535/"}).webSocketURL->effectivePort(), "65535");
    EXPECT_EQ(parse({"--ws-url", "ws://h:00001"}).webSocketURL->effectivePort(), "00001");
    for (const char* bad : {"http://example.com", "example.com/x", "", "ws://exa mple.com",
                            "ws ://x", "wss", "://x", "ws://x/\x01", "ws://h:0/", "ws://h:65536/",
                            "ws://127.0.0.1:99999/", "wss://[::1]:4294967297/"}) {
        EXPECT_EQ(failure({"--ws-url", bad}), "websocket_url_invalid") << bad;
    }
    EXPECT_EQ(failure({"--ws-url"}), "websocket_url_invalid");
}

// An empty host is no range of the argument: the target must still come from the argument alone.
TEST(CLIOptions, WebSocketURLsWithAnEmptyHost) {
    const auto url = parse({"--ws-url", "ws:///!/!/////i"}).webSocketURL;
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->host, "");
    EXPECT_EQ(url->target, "/!/!/////i");
    EXPECT_EQ(parse({"--ws-url", "wss:///p?q#f"}).webSocketURL->target, "/p?q");
    EXPECT_EQ(parse({"--ws-url", "ws://"}).webSocketURL->target, "/");
    EXPECT_EQ(parse({"--ws-url", "ws://u@/x"}).webSocketURL->target, "/x");
}

TEST(CLIOptions, UnsupportedOptionsFailAtOnce) {
    for (const char* option : {"--session-volume-get", "--session-volume-set", "--microphone",
                               "--microphone-device-id"}) {
        EXPECT_EQ(failure({option, "--capabilities"}), "unsupported_on_platform");
        EXPECT_EQ(failureKind({option}), HelperError::Kind::unsupported);
    }
    // The first failure wins.
    EXPECT_EQ(failure({"--nope", "--microphone"}), "unknown_argument:--nope");
    EXPECT_EQ(failure({"--capabilities", "--microphone"}), "unsupported_on_platform");
}

TEST(CLIOptions, UnknownArgumentsAreQuotedExactly) {
    EXPECT_EQ(failure({"--pid=42"}), "unknown_argument:--pid=42");
    EXPECT_EQ(failure({"--PID"}), "unknown_argument:--PID");
    EXPECT_EQ(failure({"-h"}), "unknown_argument:-h");
    EXPECT_EQ(failure({""}), "unknown_argument:");
    EXPECT_EQ(failure({"--capabilities", "x"}), "unknown_argument:x");
    EXPECT_EQ(failureKind({"x"}), HelperError::Kind::invalidArgument);
}

TEST(HelperError, DescriptionJoinsMessageAndStatus) {
    EXPECT_EQ(HelperError::coreAudio("create_io_proc", -50).description(), "create_io_proc:-50");
    EXPECT_EQ(HelperError::coreAudio("read_tap_uid", 2003332927).description(),
              "read_tap_uid:2003332927");
    EXPECT_EQ(HelperError::runtime("audio_process_not_found").description(),
              "audio_process_not_found");
    EXPECT_EQ(HelperError::coreAudio("x", INT32_MIN).description(), "x:-2147483648");
}

}  // namespace
}  // namespace qor
