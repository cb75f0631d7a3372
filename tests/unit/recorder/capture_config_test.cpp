#include <gtest/gtest.h>

#include "recorder/control/capture_config.hpp"

using recorder::CaptureConfig;
using recorder::decodeCaptureConfig;

namespace {

std::string errorOf(const std::string& json) {
    const auto result = decodeCaptureConfig(json);
    EXPECT_FALSE(result.ok()) << json;
    return result.ok() ? std::string() : result.error().message;
}

}  // namespace

TEST(CaptureConfigDecoding, EmptyObjectHasEveryFieldAbsent) {
    const auto config = decodeCaptureConfig("{}");
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config.value(), CaptureConfig{});
}

TEST(CaptureConfigDecoding, EveryFieldWithItsType) {
    const auto config = decodeCaptureConfig(R"({"fps":120,"displayId":4294967295,"windowId":0,"windowX":-10.5,
        "windowY":2,"windowWidth":800,"windowHeight":600.25,"outputPath":"/tmp/a.mov","capturesSystemAudio":true,
        "capturesMicrophone":false,"systemAudioOutputPath":"s.m4a","microphoneDeviceId":"mic","microphoneLabel":"Mic",
        "microphoneOutputPath":"m.m4a","excludedProcessIds":[12,12,40,-3],"restoreTokenPath":"/run/user/1/token"})");
    ASSERT_TRUE(config.ok()) << config.error().message;
    EXPECT_EQ(config->restoreTokenPath, "/run/user/1/token");
    EXPECT_EQ(config->fps, 120);
    EXPECT_EQ(config->displayId, 4294967295u);
    EXPECT_EQ(config->windowId, 0u);
    EXPECT_EQ(config->windowX, -10.5);
    EXPECT_EQ(config->windowY, 2.0);
    EXPECT_EQ(config->windowHeight, 600.25);
    EXPECT_EQ(config->outputPath, "/tmp/a.mov");
    EXPECT_EQ(config->capturesSystemAudio, true);
    EXPECT_EQ(config->capturesMicrophone, false);
    EXPECT_EQ(config->microphoneLabel, "Mic");
    EXPECT_EQ(config->excludedProcessIds, (std::vector<int32_t>{12, 12, 40, -3}));
}

TEST(CaptureConfigDecoding, WrongTypesAreRejectedWithTheFieldNamed) {
    EXPECT_EQ(errorOf(R"({"fps":"60"})"), "`fps` must be an integer");
    EXPECT_EQ(errorOf(R"({"fps":29.97})"), "`fps` must be an integer");
    EXPECT_EQ(errorOf(R"({"windowId":1.5})"), "`windowId` must be an integer");
    EXPECT_EQ(errorOf(R"({"capturesSystemAudio":1})"), "`capturesSystemAudio` must be true or false");
    EXPECT_EQ(errorOf(R"({"outputPath":5})"), "`outputPath` must be a string");
    EXPECT_EQ(errorOf(R"({"restoreTokenPath":["/tmp/t"]})"), "`restoreTokenPath` must be a string");
    EXPECT_EQ(errorOf(R"({"windowX":"1"})"), "`windowX` must be a number");
    EXPECT_EQ(errorOf(R"({"excludedProcessIds":7})"), "`excludedProcessIds` must be an array of integers");
    EXPECT_EQ(errorOf(R"({"excludedProcessIds":[1,"2"]})"), "`excludedProcessIds[1]` must be an integer");
    // The first wrong field in key order is the one reported.
    EXPECT_EQ(errorOf(R"({"outputPath":1,"fps":"x"})"), "`fps` must be an integer");
}

TEST(CaptureConfigDecoding, RangesAreEnforcedWithoutLoss) {
    EXPECT_EQ(errorOf(R"({"displayId":-1})"), "`displayId` must be an integer from 0 to 4294967295");
    EXPECT_EQ(errorOf(R"({"displayId":4294967296})"), "`displayId` must be an integer from 0 to 4294967295");
    EXPECT_EQ(errorOf(R"({"excludedProcessIds":[2147483648]})"),
              "`excludedProcessIds[0]` must be a signed 32-bit integer");
    EXPECT_EQ(errorOf(R"({"fps":2147483648})"), "`fps` must be at most 2147483647 frames per second");
    EXPECT_EQ(errorOf(R"({"fps":9223372036854775808})"), "`fps` must be a signed 64-bit integer");
    EXPECT_TRUE(decodeCaptureConfig(R"({"fps":2147483647})").ok());
    EXPECT_TRUE(decodeCaptureConfig(R"({"fps":-5})").ok());
    // A whole number written with a fraction part converts without loss.
    EXPECT_EQ(decodeCaptureConfig(R"({"displayId":2.0})")->displayId, 2u);
    EXPECT_EQ(decodeCaptureConfig(R"({"excludedProcessIds":[-2147483648]})")->excludedProcessIds,
              std::vector<int32_t>{-2147483648});
}

TEST(CaptureConfigDecoding, NullIsAbsentAndUnknownKeysAreIgnored) {
    const auto config = decodeCaptureConfig(R"({"capturesMicrophone":null,"FPS":30,"extra":{"a":[1,2]},"fps":null})");
    ASSERT_TRUE(config.ok());
    EXPECT_FALSE(config->capturesMicrophone);
    EXPECT_FALSE(config->fps);  // "FPS" differs in letter case: an unknown key
}

TEST(CaptureConfigDecoding, OnlyObjectsAndWellFormedTextAreRequests) {
    EXPECT_EQ(errorOf("[]"), "the request must be a JSON object, not an array");
    EXPECT_EQ(errorOf("\"text\""), "the request must be a JSON object, not string");
    EXPECT_EQ(errorOf("12"), "the request must be a JSON object, not number");
    EXPECT_EQ(errorOf("null"), "the request must be a JSON object, not null");
    EXPECT_NE(errorOf("{\"fps\":60").find("the request is not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf("").find("the request is not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf("{\"outputPath\":\"\xC3\x28\"}").find("not valid JSON"), std::string::npos);  // invalid UTF-8
    EXPECT_NE(errorOf("{} {}").find("not valid JSON"), std::string::npos);
    // Numbers beyond the range of a double are malformed input, not a crash.
    EXPECT_NE(errorOf(R"({"windowX":1e999})").find("not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf(R"({"unknown":-1e400})").find("not valid JSON"), std::string::npos);
}

TEST(CaptureConfigDecoding, HostileSizesAreRefusedBeforeParsing) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_NE(errorOf(deep).find("nests arrays or objects more than 64 levels"), std::string::npos);
    const std::string huge = "{\"outputPath\":\"" + std::string(2 * 1024 * 1024, 'a') + "\"}";
    EXPECT_NE(errorOf(huge).find("larger than"), std::string::npos);
    // Brackets inside strings are not nesting.
    EXPECT_TRUE(decodeCaptureConfig("{\"outputPath\":\"" + std::string(200, '[') + "\"}").ok());
}
