#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "LocaleIdentifier.h"
#include "OpenAIProtocol.h"
#include "TestImages.h"

namespace qor::bridge::local_server {
namespace {

TEST(LocaleIdentifier, AcceptsWellFormedIdentifiers) {
    for (const char* id :
         {"en", "EN", "fil", "en_US", "en-US", "de_CH", "es-419", "zh-Hant-TW", "zh_Hans_CN",
          "sr_Latn", "en_US_POSIX", "de-DE-1901", "sl-rozaj-biske", "en-US-u-ca-buddhist",
          "de-x-work", "en-a-bbb-x-a-ccc", "en_GB@rg=uszzzz",
          "ja_JP@calendar=japanese;numbers=jpan", "en@calendar=islamic-civil"}) {
        EXPECT_TRUE(isWellFormedLocaleIdentifier(id)) << id;
    }
}

TEST(LocaleIdentifier, RefusesAnythingElse) {
    for (const char* id : {"",
                           "e",
                           "english",
                           "klingon",
                           "12",
                           "en US",
                           " en",
                           "en-",
                           "-en",
                           "en__US",
                           "en-U",
                           "en-USA-",
                           "en-Latn-Latn-US",
                           "en-u",
                           "en-u-x",
                           "en-x",
                           "en-x-abc-def12345x",
                           "en-u-c",
                           "en@",
                           "en@calendar",
                           "en@=x",
                           "en@a=b;",
                           "fr\xC3\xA9",
                           "de-DE-19",
                           "zh-Hant-TW-",
                           "en-US-u-ca-buddhist-x",
                           "en\n"}) {
        EXPECT_FALSE(isWellFormedLocaleIdentifier(id)) << id;
    }
}

TEST(OpenAIProtocol, FirstModelIdIsTheFirstListedModel) {
    EXPECT_EQ(firstModelId(R"({"object":"list","data":[{"id":"a.gguf"},{"id":"b"}]})"), "a.gguf");
    for (const char* body :
         {"", "[]", "{}", R"({"data":[]})", R"({"data":{}})", R"({"data":[{"name":"a"}]})",
          R"({"data":[{"id":5}]})", R"({"data":["a"]})", "{\"data\":[{\"id\":\"a\"}]"}) {
        EXPECT_FALSE(firstModelId(body)) << body;
    }
}

TEST(OpenAIProtocol, ChatBodyHoldsTextAloneWithoutImages) {
    auto body = nlohmann::json::parse(chatCompletionBody("m", Prompt{" Hi\n", {}}));
    EXPECT_EQ(body, nlohmann::json::parse(
                        R"({"model":"m","stream":false,
                            "messages":[{"role":"user","content":" Hi\n"}]})"));
}

TEST(OpenAIProtocol, ChatBodyPutsImagesAfterTheTextInOrder) {
    Prompt prompt{"", {{testing::bytesOf("ABC"), "image/png"}, {{0xFF, 0x00}, "image/gif"}}};
    auto body = nlohmann::json::parse(chatCompletionBody("m", prompt));
    auto expected = nlohmann::json::parse(R"([
        {"type":"text","text":""},
        {"type":"image_url","image_url":{"url":"data:image/png;base64,QUJD"}},
        {"type":"image_url","image_url":{"url":"data:image/gif;base64,/wA="}}])");
    EXPECT_EQ(body["messages"][0]["content"], expected);
    EXPECT_EQ(body["messages"].size(), 1u);
    EXPECT_EQ(body.size(), 3u) << "no sampling settings or token limit";
}

TEST(OpenAIProtocol, AnswerIsTheFirstChoiceContent) {
    EXPECT_EQ(
        firstChoiceContent(R"({"choices":[{"message":{"role":"assistant","content":"a\nb\n"}},)"
                           R"({"message":{"content":"second"}}]})"),
        "a\nb\n");
    EXPECT_EQ(firstChoiceContent(R"({"choices":[{"message":{"content":""}}]})"), "");
    for (const char* body :
         {"", "not json", "{}", R"({"choices":[]})", R"({"choices":{}})",
          R"({"choices":[{"text":"a"}]})", R"({"choices":[{"message":{"content":null}}]})",
          R"({"choices":[{"message":{"content":[{"type":"text","text":"a"}]}}]})",
          R"({"error":{"message":"x"}})"}) {
        EXPECT_FALSE(firstChoiceContent(body)) << body;
    }
}

}  // namespace
}  // namespace qor::bridge::local_server
