#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "Base64.h"
#include "Bridge.h"
#include "ScriptedModel.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

using testing::ScriptedModel;

struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::streampos inputPosition;  // how far standard input was read
};

Outcome run(ScriptedModel& model, const std::string& input,
            std::vector<std::string> arguments = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    int status = runBridge(model, arguments, in, out, err);
    in.clear();
    return {status, out.str(), err.str(), in.tellg()};
}

const std::string kRequest = R"({"images":[],"prompt":"Hi","locale":"en_US"})";

TEST(BridgeEntry, AvailabilityComesBeforeEverythingElse) {
    ScriptedModel model;
    model.available = false;
    for (auto arguments : {std::vector<std::string>{}, {"--ready"}}) {
        Outcome result = run(model, kRequest, arguments);
        EXPECT_EQ(result.status, kStatusUnavailable);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(result.inputPosition, 0) << "standard input must stay unread";
    }
    EXPECT_EQ(model.calls, (std::vector<std::string>{"isAvailable", "isAvailable"}));
}

TEST(BridgeEntry, ReadinessProbeAnswersWithoutReadingInput) {
    for (auto arguments : {std::vector<std::string>{"--ready"},
                           {"a", "--ready"},
                           {"--ready", "b"},
                           {"x", "--ready", "--ready", "y"}}) {
        ScriptedModel model;
        Outcome result = run(model, kRequest, arguments);
        EXPECT_EQ(result.status, kStatusSuccess);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(result.inputPosition, 0);
        EXPECT_EQ(model.calls, std::vector<std::string>{"isAvailable"});
    }
}

TEST(BridgeEntry, OnlyTheExactArgumentMakesAProbe) {
    for (auto argument : {"--READY", "--ready=1", "-ready", "ready", " --ready"}) {
        ScriptedModel model;
        Outcome result = run(model, kRequest, {argument});
        EXPECT_EQ(result.status, kStatusSuccess) << argument;
        EXPECT_EQ(result.out, "answer\n") << argument;
    }
}

TEST(BridgeEntry, UndecodableRequestIsReportedBeforeTheLocaleIsAsked) {
    ScriptedModel model;
    Outcome result = run(model, R"({"images":[],"prompt":"Hi"})");
    EXPECT_EQ(result.status, kStatusFailure);
    EXPECT_EQ(result.err, "DecodingError");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(model.calls, std::vector<std::string>{"isAvailable"});
}

TEST(BridgeEntry, UnsupportedLocaleEndsSilentlyBeforeImagesAreLookedAt) {
    ScriptedModel model;
    model.localeSupported = false;
    Outcome result = run(model, R"({"images":["not base64"],"prompt":"Hi","locale":"xx"})");
    EXPECT_EQ(result.status, kStatusUnavailable);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(model.calls, (std::vector<std::string>{"isAvailable", "supportsLocale:xx"}));
}

TEST(BridgeEntry, OneBadImageRefusesTheRequestWithoutAModelCall) {
    std::string png = encodeBase64(testing::pngImage(2, 2));
    std::string text = encodeBase64(testing::bytesOf("plain text, no image"));
    for (const std::string& bad : {std::string("QUJD\nRA=="), text, std::string("@@@@")}) {
        ScriptedModel model;
        nlohmann::json request = {{"images", {png, bad, png}}, {"prompt", "Hi"}, {"locale", "en"}};
        Outcome result = run(model, request.dump());
        EXPECT_EQ(result.status, kStatusBadImage);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(model.prompts.size(), 0u);
    }
}

TEST(BridgeEntry, ImageThePlatformCannotReadIsRefusedLikeOneFailingTheHeaderCheck) {
    auto png = testing::pngImage(2, 2);
    auto gif = testing::gifImage();
    auto requestWith = [&](const testing::Bytes& second) {
        nlohmann::json request = {{"images", {encodeBase64(png), encodeBase64(second)}},
                                  {"prompt", "Hi"},
                                  {"locale", "en"}};
        return request.dump();
    };

    ScriptedModel headerCheck;
    Outcome notAnImage = run(headerCheck, requestWith(testing::bytesOf("plain text, no image")));
    ScriptedModel platform;
    platform.unreadableImages = {gif};
    Outcome unreadable = run(platform, requestWith(gif));

    EXPECT_EQ(unreadable.status, kStatusBadImage);
    EXPECT_EQ(unreadable.status, notAnImage.status);
    EXPECT_EQ(unreadable.out, notAnImage.out);
    EXPECT_EQ(unreadable.err, notAnImage.err);
    EXPECT_EQ(unreadable.out + unreadable.err, "");
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"isAvailable", "supportsLocale:en",
                                        "canReadImage:image/png", "canReadImage:image/gif"}));
    EXPECT_TRUE(platform.prompts.empty());
    // The platform is only asked about bytes that passed the header check.
    EXPECT_EQ(headerCheck.calls, (std::vector<std::string>{"isAvailable", "supportsLocale:en",
                                                           "canReadImage:image/png"}));
    EXPECT_TRUE(headerCheck.prompts.empty());
}

TEST(BridgeEntry, PassesTextAndImagesInOrderAndWritesTheAnswer) {
    ScriptedModel model;
    model.response = ModelResponse::answer("two\nlines\n");
    auto png = testing::pngImage(3, 3);
    auto gif = testing::gifImage();
    Outcome result = run(model, R"({"locale":"de","prompt":"","images":[")" + encodeBase64(png) +
                                    R"(",")" + encodeBase64(gif) + R"("]})");
    EXPECT_EQ(result.status, kStatusSuccess);
    EXPECT_EQ(result.out, "two\nlines\n\n");
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(model.prompts.size(), 1u);
    const Prompt& prompt = model.prompts[0];
    EXPECT_EQ(prompt.text, "");
    ASSERT_EQ(prompt.images.size(), 2u);
    EXPECT_EQ(prompt.images[0].bytes, png);
    EXPECT_EQ(prompt.images[0].mimeType, "image/png");
    EXPECT_EQ(prompt.images[1].bytes, gif);
    EXPECT_EQ(prompt.images[1].mimeType, "image/gif");
    EXPECT_EQ(model.calls, (std::vector<std::string>{
                               "isAvailable", "supportsLocale:de", "canReadImage:image/png",
                               "canReadImage:image/gif", "takesImages", "respond"}));
}

TEST(BridgeEntry, ModelThatTakesNoImagesIsUnavailableForReadableImagesOnly) {
    const std::string png = encodeBase64(testing::pngImage(2, 2));
    auto requestWith = [](std::vector<std::string> images) {
        return nlohmann::json{{"images", images}, {"prompt", "Hi"}, {"locale", "en"}}.dump();
    };
    ScriptedModel readable, unreadable, textOnly;
    for (ScriptedModel* model : {&readable, &unreadable, &textOnly}) {
        model->imagesTaken = false;
    }

    Outcome refused = run(readable, requestWith({png}));
    EXPECT_EQ(refused.status, kStatusUnavailable);
    EXPECT_EQ(refused.out + refused.err, "");
    EXPECT_EQ(readable.calls, (std::vector<std::string>{"isAvailable", "supportsLocale:en",
                                                        "canReadImage:image/png", "takesImages"}));
    // An unreadable image is refused as such first; a request without images is answered.
    EXPECT_EQ(run(unreadable, requestWith({png, "@@@@"})).status, kStatusBadImage);
    EXPECT_EQ(unreadable.calls, (std::vector<std::string>{"isAvailable", "supportsLocale:en",
                                                          "canReadImage:image/png"}));
    Outcome answered = run(textOnly, requestWith({}));
    EXPECT_EQ(answered.status, kStatusSuccess);
    EXPECT_EQ(answered.out, "answer\n");
    EXPECT_EQ(textOnly.calls,
              (std::vector<std::string>{"isAvailable", "supportsLocale:en", "respond"}));
}

}  // namespace
}  // namespace qor::bridge
