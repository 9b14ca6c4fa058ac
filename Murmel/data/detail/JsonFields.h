// Keyed reading and writing of the engine's JSON objects on top of kestrum's value coding.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "KestrumCore/JsonCoding.h"
#include "platform/System/Json.h"

namespace murmel::detail {

// The object of a keyed value; anything else is a type mismatch.
inline const platform::json::Value& keyed(const platform::json::Value& json) {
  json.asObject();
  return json;
}

// A required key: missing throws keyNotFound, null valueNotFound, a wrong type typeMismatch.
template <class T>
T required(const platform::json::Value& object, std::string_view key) {
  return kestrum::fromJson<T>(object.at(key));
}

// An optional key: missing or null reads as absent.
template <class T>
std::optional<T> optional(const platform::json::Value& object, std::string_view key) {
  const platform::json::Value* value = object.find(key);
  if (!value || value->isNull()) return std::nullopt;
  return kestrum::fromJson<T>(*value);
}

template <class T>
void put(platform::json::Object& object, std::string key, const T& value) {
  object.emplace_back(std::move(key), kestrum::toJson(value));
}

// Leaves the key out when absent.
template <class T>
void putIfPresent(platform::json::Object& object, std::string key, const std::optional<T>& value) {
  if (value) object.emplace_back(std::move(key), kestrum::toJson(*value));
}

}  // namespace murmel::detail
