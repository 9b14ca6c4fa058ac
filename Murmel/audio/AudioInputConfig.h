// How several input channels become one. A value type, equatable and hashable.
// JSON form: {"specificChannel": {"_0": 1}}, {"sumChannels": {"_0": [0, 2]}}, {"sumChannels": {}} for
// all channels. Decoding anything but exactly one known case key throws
// platform::json::DecodingError(typeMismatch, "Invalid number of keys found, expected one.").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "platform/System/Json.h"

namespace murmel {

struct AudioInputConfig {
  class ChannelMode {
   public:
    struct SpecificChannel {
      std::int64_t channel;
      friend bool operator==(const SpecificChannel&, const SpecificChannel&) = default;
    };
    struct SumChannels {
      std::optional<std::vector<std::int64_t>> channels;  // absent or empty: all channels
      friend bool operator==(const SumChannels&, const SumChannels&) = default;
    };

    // Only the channel with this zero-based index (channel 0 when it does not exist).
    static ChannelMode specificChannel(std::int64_t channel) { return ChannelMode(SpecificChannel{channel}); }
    // The listed channels summed and rescaled to the loudest one's peak.
    static ChannelMode sumChannels(std::optional<std::vector<std::int64_t>> channels = std::nullopt) {
      return ChannelMode(SumChannels{std::move(channels)});
    }

    const std::variant<SpecificChannel, SumChannels>& value() const { return value_; }
    const SpecificChannel* asSpecificChannel() const { return std::get_if<SpecificChannel>(&value_); }
    const SumChannels* asSumChannels() const { return std::get_if<SumChannels>(&value_); }

    platform::json::Value toJson() const;
    static ChannelMode fromJson(const platform::json::Value& json);

    friend bool operator==(const ChannelMode&, const ChannelMode&) = default;

   private:
    explicit ChannelMode(std::variant<SpecificChannel, SumChannels> value) : value_(std::move(value)) {}
    std::variant<SpecificChannel, SumChannels> value_;
  };

  ChannelMode channelMode = ChannelMode::sumChannels();

  friend bool operator==(const AudioInputConfig&, const AudioInputConfig&) = default;
};

using ChannelMode = AudioInputConfig::ChannelMode;

}  // namespace murmel

template <>
struct std::hash<murmel::AudioInputConfig::ChannelMode> {
  std::size_t operator()(const murmel::AudioInputConfig::ChannelMode& mode) const noexcept;
};

template <>
struct std::hash<murmel::AudioInputConfig> {
  std::size_t operator()(const murmel::AudioInputConfig& config) const noexcept {
    return std::hash<murmel::AudioInputConfig::ChannelMode>{}(config.channelMode);
  }
};
