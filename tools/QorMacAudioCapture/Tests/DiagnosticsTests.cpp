#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "Diagnostics.h"
#include "PipeReader.h"
#include "Subprocess.h"
#include "Text.h"

namespace qor {
namespace {

std::string serialized(const JSON& value) {
    return Diagnostics::serialize(value).value_or("<none>");
}

TEST(Diagnostics, CompactSortedAtEveryLevel) {
    const JSON object = {{"z", 1}, {"a", {{"y", true}, {"b", nullptr}}}, {"m", {3, "x"}}};
    EXPECT_EQ(serialized(object), R"({"a":{"b":null,"y":true},"m":[3,"x"],"z":1})");
}

TEST(Diagnostics, NumbersWholeFloatsAsIntegers) {
    EXPECT_EQ(serialized({{"r", 48000.0}}), R"({"r":48000})");
    EXPECT_EQ(serialized({{"r", -0.0}}), R"({"r":0})");
    EXPECT_EQ(serialized({{"r", 44100.5}}), R"({"r":44100.5})");
    EXPECT_EQ(serialized({{"u", std::numeric_limits<std::uint64_t>::max()}}),
              R"({"u":18446744073709551615})");
    // A single-precision peak reads back to the same single-precision value.
    const float peak = 0.1f;
    const JSON back = JSON::parse(serialized({{"peak", peak}}));
    EXPECT_EQ(back["peak"].get<float>(), peak);
}

TEST(Diagnostics, NonFiniteNumbersMakeTheObjectUnwritable) {
    EXPECT_FALSE(Diagnostics::serialize({{"x", std::nan("")}}).has_value());
    EXPECT_FALSE(Diagnostics::serialize({{"a", {{"b", std::numeric_limits<double>::infinity()}}}})
                     .has_value());
}

TEST(Diagnostics, StringsEscapeSlashAndControlsAndKeepUTF8) {
    EXPECT_EQ(serialized({{"e", "a/b"}}), R"({"e":"a\/b"})");
    EXPECT_EQ(serialized({{"e", "caf\xC3\xA9 \xF0\x9F\x8E\xB5"}}),
              "{\"e\":\"caf\xC3\xA9 \xF0\x9F\x8E\xB5\"}");
    EXPECT_EQ(serialized({{"e", "q\"\\\n\t\x01"}}), R"({"e":"q\"\\\n\t\u0001"})");
}

TEST(Diagnostics, InvalidUTF8BecomesReplacementCharacters) {
    const std::string text = serialized({{"e\xFF", "x\xC3(\xED\xA0\x80y"}});
    EXPECT_EQ(sanitizeUTF8(text), text) << "output is valid UTF-8";
    const JSON back = JSON::parse(text);
    EXPECT_EQ(back.begin().key(), "e\xEF\xBF\xBD");
    EXPECT_EQ(back.begin()->get<std::string>().substr(0, 1), "x");
    EXPECT_NE(back.begin()->get<std::string>().find("\xEF\xBF\xBD"), std::string::npos);
}

// U+FFFD (EF BF BD) sorts before a four-byte character although the invalid byte 0xFF it stands
// for sorts after it; and keys that differ only in invalid bytes would repeat.
TEST(Diagnostics, KeysWithInvalidUTF8StaySortedAndUnique) {
    EXPECT_EQ(serialized({{"\xF0\x9F\x8E\xB5", 1}, {"\xFF", 2}}),
              "{\"\xEF\xBF\xBD\":2,\"\xF0\x9F\x8E\xB5\":1}");
    EXPECT_EQ(serialized({{"a\xFE", 1}, {"a\xFF", 2}, {"b", {{"\xC0", 3}, {"\xC1", 4}}}}),
              "{\"a\xEF\xBF\xBD\":1,\"b\":{\"\xEF\xBF\xBD\":3}}");
}

// Lines written from many threads at once reach the stream whole, one per line.
TEST(Diagnostics, ConcurrentLinesNeverInterleave) {
    const std::string payload(3000, 'p');
    const std::string received = testing::readPipeWhile([&](int writeEnd) {
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) {
                    Diagnostics::write({{"thread", t}, {"i", i}, {"payload", payload}}, writeEnd);
                }
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
    });
    const auto lines = testing::lines(received);
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& line : lines) {
        const JSON parsed = JSON::parse(line);
        EXPECT_EQ(parsed["payload"].get<std::string>().size(), payload.size());
    }
}

TEST(Text, TrimsUnicodeWhitespaceOnly) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\xC2\xA0 Safari \xE3\x80\x80\n"), "Safari");
    EXPECT_EQ(trimWhitespaceAndNewlines("A  B"), "A  B");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xFF "), "\xFF");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE2\x80\x8B"), "\xE2\x80\x8B")
        << "zero width is no space";
    EXPECT_EQ(trimWhitespaceAndNewlines(" \xC2"), "\xC2");
}

}  // namespace
}  // namespace qor
