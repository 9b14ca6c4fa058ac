#include "Murmel/audio/AudioInputConfig.h"

namespace murmel {

using platform::json::Array;
using platform::json::DecodingError;
using platform::json::Object;
using platform::json::Value;

Value AudioInputConfig::ChannelMode::toJson() const {
  if (const auto* specific = asSpecificChannel()) {
    return Value(Object{{"specificChannel", Value(Object{{"_0", Value(static_cast<long long>(specific->channel))}})}});
  }
  const auto& sum = *asSumChannels();
  Object payload;
  if (sum.channels) {
    Array list;
    for (std::int64_t channel : *sum.channels) list.emplace_back(static_cast<long long>(channel));
    payload.emplace_back("_0", Value(std::move(list)));
  }
  return Value(Object{{"sumChannels", Value(std::move(payload))}});
}

AudioInputConfig::ChannelMode AudioInputConfig::ChannelMode::fromJson(const Value& json) {
  if (json.kind() != Value::Kind::object)
    throw DecodingError(DecodingError::Kind::typeMismatch, "Expected to decode a dictionary but found another value.");
  // Unknown keys are not cases and do not count.
  const Value* found = nullptr;
  std::string key;
  int cases = 0;
  for (const auto& [name, value] : json.asObject()) {
    if (name == "specificChannel" || name == "sumChannels") {
      ++cases;
      found = &value;
      key = name;
    }
  }
  if (cases != 1)
    throw DecodingError(DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
  if (key == "specificChannel") return specificChannel(found->at("_0").asInt());
  const Value* list = found->kind() == Value::Kind::object ? found->find("_0") : nullptr;
  if (found->kind() != Value::Kind::object)
    throw DecodingError(DecodingError::Kind::typeMismatch, "Expected to decode a dictionary but found another value.");
  if (!list || list->isNull()) return sumChannels();
  std::vector<std::int64_t> channels;
  for (const Value& channel : list->asArray()) channels.push_back(channel.asInt());
  return sumChannels(std::move(channels));
}

}  // namespace murmel

std::size_t std::hash<murmel::AudioInputConfig::ChannelMode>::operator()(
    const murmel::AudioInputConfig::ChannelMode& mode) const noexcept {
  std::size_t seed = mode.value().index();
  auto mix = [&seed](std::size_t v) { seed ^= v + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2); };
  if (const auto* specific = mode.asSpecificChannel()) {
    mix(std::hash<std::int64_t>{}(specific->channel));
  } else if (const auto& list = mode.asSumChannels()->channels) {
    mix(1);
    for (std::int64_t channel : *list) mix(std::hash<std::int64_t>{}(channel));
  }
  return seed;
}
