#include <gtest/gtest.h>

#include <string>

#include "Base64.h"
#include "ImageCheck.h"
#include "TestImages.h"

namespace qor::bridge {
namespace {

using testing::Bytes;
using testing::bytesOf;

TEST(Base64, DecodesPaddedStandardAlphabet) {
    EXPECT_EQ(decodeBase64(""), Bytes{});
    EXPECT_EQ(decodeBase64("QQ=="), bytesOf("A"));
    EXPECT_EQ(decodeBase64("QUI="), bytesOf("AB"));
    EXPECT_EQ(decodeBase64("QUJD"), bytesOf("ABC"));
    EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(decodeBase64("AAEC/w=="), (Bytes{0x00, 0x01, 0x02, 0xFF}));
}

TEST(Base64, AcceptsLeftoverBitsInTheLastCharacter) {
    EXPECT_EQ(decodeBase64("QR=="), bytesOf("A"));
    EXPECT_EQ(decodeBase64("QUJ="), bytesOf("AB"));
}

TEST(Base64, RefusesEverythingButTheStrictForm) {
    for (const char* text : {"Q", "QQ", "QQ=", "QUJDRA", "QQ==QQ==", "Q===", "====", "QQ=A", "=QQQ",
                             "QU I", "QUI=\n", "QUJD\nRA==", "QUJD\r\nRA==", " QUJD", "QUJD ",
                             "-_-_", "QUJD\tRA==", "data:image/png;base64,QUJD"}) {
        EXPECT_FALSE(decodeBase64(text)) << text;
    }
    EXPECT_FALSE(decodeBase64(std::string("QU\0=", 4)));
    EXPECT_FALSE(decodeBase64("QUJD\xC3\xA9="));
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    Bytes bytes;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(decodeBase64(encodeBase64(bytes)), bytes) << i;
        bytes.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    }
    EXPECT_EQ(encodeBase64(bytesOf("AB")), "QUI=");
}

struct Sample {
    const char* name;
    Bytes bytes;
    const char* mimeType;
    int width;
    int height;
};

TEST(ImageCheck, RecognisesEachFormat) {
    const Sample samples[] = {
        {"png", testing::pngImage(3, 2), "image/png", 3, 2},
        {"gif", testing::gifImage(), "image/gif", 1, 1},
        {"bmp", testing::bmpImage(5, 4), "image/bmp", 5, 4},
        {"jpeg", testing::jpegImage(32, 20), "image/jpeg", 32, 20},
        {"webp", testing::webpImage(7, 9), "image/webp", 7, 9},
    };
    for (const Sample& sample : samples) {
        auto info = inspectImage(sample.bytes);
        ASSERT_TRUE(info) << sample.name;
        EXPECT_EQ(info->mimeType, sample.mimeType) << sample.name;
        EXPECT_EQ(info->width, sample.width) << sample.name;
        EXPECT_EQ(info->height, sample.height) << sample.name;
    }
}

TEST(ImageCheck, RefusesBytesThatAreNoImage) {
    EXPECT_FALSE(inspectImage(Bytes{}));
    EXPECT_FALSE(inspectImage(bytesOf("hello, this is plain text and no picture at all")));
    EXPECT_FALSE(inspectImage(bytesOf("{\"json\": true}")));
    Bytes png = testing::pngImage(2, 2);
    EXPECT_FALSE(inspectImage(Bytes(png.begin(), png.begin() + 12)));  // cut inside the header
    Bytes webp = testing::webpLosslessHeader(4, 4);
    webp[20] = 0x00;  // wrong lossless signature
    EXPECT_FALSE(inspectImage(webp));
    // A readable header in front of missing data.
    EXPECT_FALSE(inspectImage(testing::pngHeaderOnly(640, 480)));
    EXPECT_FALSE(inspectImage(Bytes(png.begin(), png.end() - 20)));
    EXPECT_FALSE(inspectImage(testing::jpegHeader(320, 200)));
    EXPECT_FALSE(inspectImage(testing::webpLosslessHeader(7, 9)));
}

TEST(ImageCheck, RefusesAbsurdDimensions) {
    EXPECT_TRUE(inspectImage(testing::pngImage(kMaxImageSide, 8)));
    EXPECT_FALSE(inspectImage(testing::pngHeaderOnly(kMaxImageSide + 1, 8)));
    EXPECT_FALSE(inspectImage(testing::pngHeaderOnly(8, 1'000'000)));
    EXPECT_FALSE(inspectImage(testing::pngHeaderOnly(20'000, 20'000)));  // side fine, area not
    EXPECT_FALSE(inspectImage(testing::pngHeaderOnly(0x7FFFFFFF, 0x7FFFFFFF)));
    EXPECT_FALSE(inspectImage(testing::jpegHeader(65'535, 65'535)));
}

}  // namespace
}  // namespace qor::bridge
