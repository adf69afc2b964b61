// Random, mutated and truncated requests through the whole entry sequence. The scripted model
// accepts every locale and fails every call, so a request that survives decoding and the image
// check shows up as status 1 with the model's error name: any status but 1 or 3, or any
// sanitizer report, is a fault. The seed is fixed so that a failure can be replayed.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "Base64.h"
#include "Bridge.h"
#include "ImageCheck.h"
#include "Request.h"
#include "ScriptedModel.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

using testing::Bytes;

class Robustness : public ::testing::Test {
  protected:
    std::mt19937_64 random{20240611};

    std::size_t below(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    }

    // Runs one request and checks the outcome; returns the status.
    int check(const std::string& input) {
        testing::ScriptedModel model;
        model.response = ModelResponse::failure("ScriptedFailure");
        std::istringstream in(input);
        std::ostringstream out, err;
        int status = runBridge(model, {}, in, out, err);
        EXPECT_TRUE(status == kStatusFailure || status == kStatusBadImage)
            << "status " << status << " for " << ::testing::PrintToString(input.substr(0, 200));
        EXPECT_EQ(out.str(), "");
        if (status == kStatusFailure) {
            EXPECT_EQ(err.str(), model.prompts.empty() ? "DecodingError" : "ScriptedFailure");
        } else {
            EXPECT_EQ(err.str(), "");
            EXPECT_TRUE(model.prompts.empty());
        }
        return status;
    }

    std::string mutate(std::string text) {
        static const char kInteresting[] = "{}[]\",:\\ntuefal0-9.eE+=/\x00\xC3\xFF\n ";
        std::size_t edits = 1 + below(4);
        for (std::size_t e = 0; e < edits && !text.empty(); ++e) {
            std::size_t at = below(text.size());
            char c = below(2) ? kInteresting[below(sizeof kInteresting - 1)]
                              : static_cast<char>(below(256));
            switch (below(4)) {
                case 0:
                    text[at] = c;
                    break;
                case 1:
                    text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
                    break;
                case 2:
                    text.erase(at, 1 + below(8));
                    break;
                default:
                    text.insert(at, text.substr(below(text.size()), below(16)));
                    break;
            }
        }
        return text;
    }
};

std::string requestWith(const std::string& images) {
    return R"({"images":[)" + images +
           R"(],"prompt":"describe \u00e9\n","locale":"en_US","x":[1,{"y":null}]})";
}

TEST_F(Robustness, RandomBytes) {
    for (int i = 0; i < 3000; ++i) {
        std::string input(below(200), '\0');
        for (char& c : input) {
            c = static_cast<char>(below(256));
        }
        check(input);
    }
}

TEST_F(Robustness, EveryTruncationOfARequest) {
    std::string full = requestWith("\"" + encodeBase64(testing::pngImage(2, 2)) + "\",\"" +
                                   encodeBase64(testing::gifImage()) + "\"");
    ASSERT_EQ(check(full), kStatusFailure) << "the whole request reaches the model";
    for (std::size_t length = 0; length < full.size(); ++length) {
        check(full.substr(0, length));
    }
}

TEST_F(Robustness, MutatedRequests) {
    const std::string seeds[] = {
        requestWith(""),
        requestWith("\"" + encodeBase64(testing::pngImage(4, 3)) + "\""),
        requestWith("\"" + encodeBase64(testing::jpegHeader(8, 8)) + "\",\"" +
                    encodeBase64(testing::webpLosslessHeader(8, 8)) + "\""),
        requestWith("\"" + encodeBase64(testing::bmpImage(2, 2)) + "\""),
    };
    for (int i = 0; i < 20000; ++i) {
        check(mutate(seeds[below(std::size(seeds))]));
    }
}

TEST_F(Robustness, DeepAndWideDocuments) {
    for (const std::string& input :
         {std::string(100'000, '['), std::string(100'000, '{'),
          "{\"x\":" + std::string(50'000, '[') + std::string(50'000, ']') + "}",
          "{\"images\":[" + std::string(100'000, '[') + "]}",
          "{\"prompt\":\"" + std::string(200'000, 'a')}) {
        check(input);
    }
    std::string manyEmpty = "\"\"";
    for (int i = 0; i < 100'000; ++i) {
        manyEmpty += ",\"\"";
    }
    EXPECT_EQ(check(requestWith(manyEmpty)), kStatusBadImage);
}

TEST_F(Robustness, Base64OfRandomAndDamagedText) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (int i = 0; i < 20000; ++i) {
        std::string text(below(40), 'A');
        for (char& c : text) {
            c = below(10) ? kAlphabet[below(sizeof kAlphabet - 1)] : static_cast<char>(below(256));
        }
        auto bytes = decodeBase64(text);
        if (bytes) {
            // Whatever the decoder accepts has the strict shape.
            EXPECT_EQ(text.size() % 4, 0u) << text;
            EXPECT_EQ(bytes->size(),
                      text.size() / 4 * 3 - (text.size() - text.find_last_not_of('=') - 1))
                << text;
            EXPECT_EQ(text.find_first_not_of(kAlphabet), std::string::npos) << text;
        }
    }
    for (int i = 0; i < 2000; ++i) {
        Bytes bytes(below(64));
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(below(256));
        }
        std::string text = encodeBase64(bytes);
        ASSERT_EQ(decodeBase64(text), bytes);
        if (!text.empty()) {
            EXPECT_FALSE(decodeBase64(text.substr(0, text.size() - 1 - below(3))));
        }
    }
}

TEST_F(Robustness, ImageHeadersRandomAndTruncated) {
    const Bytes images[] = {testing::pngImage(5, 5), testing::gifImage(), testing::bmpImage(3, 3),
                            testing::jpegHeader(9, 9), testing::webpLosslessHeader(9, 9)};
    for (const Bytes& image : images) {
        for (std::size_t length = 0; length <= image.size(); ++length) {
            auto info = inspectImage(std::span(image.data(), length));
            if (info) {
                EXPECT_GT(info->width, 0);
                EXPECT_GT(info->height, 0);
            }
        }
        for (int i = 0; i < 2000; ++i) {
            Bytes damaged = image;
            for (std::size_t e = 0; e < 1 + below(3); ++e) {
                damaged[below(damaged.size())] = static_cast<std::uint8_t>(below(256));
            }
            auto info = inspectImage(damaged);
            if (info) {
                EXPECT_LE(info->width, kMaxImageSide);
                EXPECT_LE(std::int64_t{info->width} * info->height, kMaxImagePixels);
            }
        }
    }
}

}  // namespace
}  // namespace qor::bridge
