#include "Murmel/audio/AudioInputConfig.h"

#include <gtest/gtest.h>

namespace murmel {
namespace {

TEST(ChannelModeTest, JsonForm) {
  using platform::json::parse;
  using platform::json::write;
  struct Case {
    ChannelMode mode;
    const char* json;
  };
  const Case cases[] = {
      {ChannelMode::specificChannel(1), R"({"specificChannel":{"_0":1}})"},
      {ChannelMode::sumChannels(std::vector<std::int64_t>{0, 2}), R"({"sumChannels":{"_0":[0,2]}})"},
      {ChannelMode::sumChannels(), R"({"sumChannels":{}})"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(write(test.mode.toJson()), test.json);
    EXPECT_EQ(ChannelMode::fromJson(parse(test.json)), test.mode);
  }
  for (const char* bad : {R"({})", R"({"specificChannel":{"_0":1},"sumChannels":{}})", R"({"mixChannels":{}})"}) {
    try {
      ChannelMode::fromJson(parse(bad));
      ADD_FAILURE() << bad;
    } catch (const platform::json::DecodingError& e) {
      EXPECT_EQ(e.kind, platform::json::DecodingError::Kind::typeMismatch);
      EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
    }
  }
  EXPECT_THROW(ChannelMode::fromJson(parse(R"({"specificChannel":{}})")), platform::json::DecodingError);
  EXPECT_NE(std::hash<ChannelMode>{}(ChannelMode::specificChannel(0)), std::hash<ChannelMode>{}(ChannelMode::sumChannels()));
  EXPECT_EQ(AudioInputConfig().channelMode, ChannelMode::sumChannels());
}

}  // namespace
}  // namespace murmel
