// Generic JSON coding of values, the stand-in for Codable:
//   toJson(value) -> platform::json::Value,  fromJson<T>(json) -> T (throws DecodingError).
// Supported: bool, integers, float, double, std::string, std::optional<T> (null when absent),
// std::vector<T>, and any type with a `toJson() const` member and a static `fromJson(const Value&)`.
// Other types can add overloads of `toJson` found by argument lookup.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/System/Json.h"

namespace kestrum {

template <class T>
struct JsonCoder;

template <class T>
platform::json::Value toJson(const T& value) {
  return JsonCoder<T>::encode(value);
}

template <class T>
T fromJson(const platform::json::Value& json) {
  return JsonCoder<T>::decode(json);
}

template <class T>
struct JsonCoder {
  static platform::json::Value encode(const T& value) {
    if constexpr (std::is_same_v<T, bool> || std::is_floating_point_v<T> || std::is_same_v<T, std::string>) {
      return platform::json::Value(value);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      return platform::json::Value(static_cast<long long>(value));
    } else if constexpr (std::is_integral_v<T>) {
      return platform::json::Value(static_cast<unsigned long long>(value));
    } else {
      return value.toJson();
    }
  }
  static T decode(const platform::json::Value& json) {
    if constexpr (std::is_same_v<T, bool>) {
      return json.asBool();
    } else if constexpr (std::is_same_v<T, float>) {
      return json.asFloat();
    } else if constexpr (std::is_floating_point_v<T>) {
      return static_cast<T>(json.asDouble());
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      return narrow<T>(json.asInt());
    } else if constexpr (std::is_integral_v<T>) {
      return narrow<T>(json.asUInt());
    } else if constexpr (std::is_same_v<T, std::string>) {
      return json.asString();
    } else {
      return T::fromJson(json);
    }
  }

 private:
  template <class To, class From>
  static To narrow(From value) {
    if (value < static_cast<From>(std::numeric_limits<To>::min()) ||
        value > static_cast<From>(std::numeric_limits<To>::max())) {
      throw platform::json::DecodingError(platform::json::DecodingError::Kind::dataCorrupted,
                                          "Parsed JSON number <" + std::to_string(value) +
                                              "> does not fit in the expected integer type.");
    }
    return static_cast<To>(value);
  }
};

template <class T>
struct JsonCoder<std::optional<T>> {
  static platform::json::Value encode(const std::optional<T>& value) {
    return value ? JsonCoder<T>::encode(*value) : platform::json::Value(nullptr);
  }
  static std::optional<T> decode(const platform::json::Value& json) {
    if (json.isNull()) return std::nullopt;
    return JsonCoder<T>::decode(json);
  }
};

template <class T>
struct JsonCoder<std::vector<T>> {
  static platform::json::Value encode(const std::vector<T>& values) {
    platform::json::Array array;
    array.reserve(values.size());
    for (const auto& value : values) array.push_back(JsonCoder<T>::encode(value));
    return platform::json::Value(std::move(array));
  }
  static std::vector<T> decode(const platform::json::Value& json) {
    std::vector<T> values;
    for (const auto& element : json.asArray()) values.push_back(JsonCoder<T>::decode(element));
    return values;
  }
};

}  // namespace kestrum
