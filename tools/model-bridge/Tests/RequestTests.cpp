#include <gtest/gtest.h>

#include <string>

#include "Request.h"

namespace qor::bridge {
namespace {

TEST(RequestDecoding, ReadsTheThreeFieldsInAnyOrder) {
    auto request = decodeRequest(R"({"locale":"en_US","prompt":"Hi","images":["QQ==","Qg=="]})");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->prompt, "Hi");
    EXPECT_EQ(request->locale, "en_US");
    ASSERT_EQ(request->images.size(), 2u);
    EXPECT_EQ(request->images[0], "QQ==");
    EXPECT_EQ(request->images[1], "Qg==");
}

TEST(RequestDecoding, AcceptsEmptyValuesAndPassesTextUnchanged) {
    auto request = decodeRequest(" \n{\"images\":[],\"prompt\":\"\",\"locale\":\"\"}\n ");
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->images.empty());
    EXPECT_EQ(request->prompt, "");

    request = decodeRequest(R"({"images":[""],"prompt":"  a\nb\u00e9 \"q\" \/ ","locale":" x "})");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->images, ImageList({""}));
    EXPECT_EQ(request->prompt, "  a\nb\xC3\xA9 \"q\" / ");
    EXPECT_EQ(request->locale, " x ");
}

TEST(RequestDecoding, IgnoresUnknownKeysWhateverTheirValue) {
    auto request = decodeRequest(
        R"({"x":null,"images":[],"Prompt":5,"deep":{"images":[1],"prompt":null,"a":[[{}]]},)"
        R"("prompt":"p","list":[true,false,1.5,-2,"s"],"locale":"de"})");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->prompt, "p");
    EXPECT_EQ(request->locale, "de");
    EXPECT_TRUE(request->images.empty());
}

TEST(RequestDecoding, RepeatedKeyKeepsTheLastValue) {
    auto request = decodeRequest(
        R"({"images":["QQ=="],"prompt":"a","locale":"en","images":["Qg=="],"prompt":"b"})");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->images, ImageList({"Qg=="}));
    EXPECT_EQ(request->prompt, "b");
}

class RejectedRequest : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectedRequest, GivesNothing) {
    EXPECT_FALSE(decodeRequest(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RejectedRequest,
    ::testing::Values("", " ", "{", "}", "[]", "null", "\"text\"", "42", "{}",
                      R"({"images":[],"prompt":"p","locale":"en"} {})",
                      R"({"images":[],"prompt":"p","locale":"en"},)",
                      R"({"images":[],"prompt":"p","locale":"en",})",
                      R"({"images":[],"prompt":'p',"locale":"en"})",
                      R"({"images":[],"prompt":"p","locale":"en"} // note)",
                      "{\"images\":[],\"prompt\":\"\xC3\",\"locale\":\"en\"}",
                      "{\"images\":[],\"prompt\":\"a\tb\",\"locale\":\"en\"}"));

INSTANTIATE_TEST_SUITE_P(MissingOrNull, RejectedRequest,
                         ::testing::Values(R"({"prompt":"p","locale":"en"})",
                                           R"({"images":[],"locale":"en"})",
                                           R"({"images":[],"prompt":"p"})",
                                           R"({"images":null,"prompt":"p","locale":"en"})",
                                           R"({"images":[],"prompt":null,"locale":"en"})",
                                           R"({"images":[],"prompt":"p","locale":null})",
                                           R"({"Images":[],"prompt":"p","locale":"en"})",
                                           R"({"images":[],"prompt ":"p","locale":"en"})"));

INSTANTIATE_TEST_SUITE_P(
    WrongTypes, RejectedRequest,
    ::testing::Values(R"({"images":"QQ==","prompt":"p","locale":"en"})",
                      R"({"images":{},"prompt":"p","locale":"en"})",
                      R"({"images":[1],"prompt":"p","locale":"en"})",
                      R"({"images":["QQ==",2],"prompt":"p","locale":"en"})",
                      R"({"images":[null],"prompt":"p","locale":"en"})",
                      R"({"images":[["QQ=="]],"prompt":"p","locale":"en"})",
                      R"({"images":[{"data":"QQ=="}],"prompt":"p","locale":"en"})",
                      R"({"images":[],"prompt":5,"locale":"en"})",
                      R"({"images":[],"prompt":["p"],"locale":"en"})",
                      R"({"images":[],"prompt":"p","locale":true})",
                      R"({"images":[],"prompt":"p","locale":{"id":"en"}})"));

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(RequestDecoding, BoundsNesting) {
    // The request itself sits one level deep, so an unknown key's value may use the rest.
    auto withValue = [](const std::string& value) {
        return R"({"images":[],"prompt":"p","locale":"en","x":)" + value + "}";
    };
    EXPECT_TRUE(decodeRequest(withValue(nested(kMaxJsonNesting - 1))));
    EXPECT_FALSE(decodeRequest(withValue(nested(kMaxJsonNesting))));
    EXPECT_FALSE(decodeRequest(withValue(nested(1'000'000))));
    EXPECT_FALSE(decodeRequest(withValue(std::string(1'000'000, '['))));
}

TEST(RequestDecoding, RefusesTextBeyondTheSizeLimit) {
    // A valid request, one byte too long: refused before any parsing.
    std::string request = R"({"images":[],"locale":"en","prompt":")";
    request += std::string(kMaxRequestBytes - request.size() - 1, 'a') + "\"}";
    ASSERT_EQ(request.size(), kMaxRequestBytes + 1);
    EXPECT_FALSE(decodeRequest(request));
}

}  // namespace
}  // namespace qor::bridge
