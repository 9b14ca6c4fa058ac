// JSON coding of container elements: the customization point through which OrderedSet and
// OrderedDictionary encode and decode their members.
// A type T becomes codable either with members
//   platform::json::Value T::toJson() const;   static T T::fromJson(const platform::json::Value&);
// or by declaring, in its own namespace (found by argument-dependent lookup):
//   platform::json::Value toJson(const T&);
//   T fromJson(const platform::json::Value&, std::type_identity<T>);
// Booleans, integers, floating numbers, std::string, json::Value, std::vector and std::optional are
// provided here. Decoding throws platform::json::DecodingError; encoding may throw EncodingError.
//   collections::encodeElement(std::vector<int>{1, 2}) == json::Value(json::Array{1, 2})
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/System/Json.h"

namespace collections {

namespace json = platform::json;

inline json::Value toJson(const json::Value& v) { return v; }
inline json::Value toJson(bool b) { return json::Value(b); }
inline json::Value toJson(const std::string& s) { return json::Value(s); }
inline json::Value toJson(double d) { return json::Value(d); }
inline json::Value toJson(float f) { return json::Value(f); }
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
json::Value toJson(I i) {
  if constexpr (std::is_signed_v<I>) return json::Value(static_cast<long long>(i));
  else return json::Value(static_cast<unsigned long long>(i));
}

inline json::Value fromJson(const json::Value& v, std::type_identity<json::Value>) { return v; }
inline bool fromJson(const json::Value& v, std::type_identity<bool>) { return v.asBool(); }
inline std::string fromJson(const json::Value& v, std::type_identity<std::string>) { return v.asString(); }
inline double fromJson(const json::Value& v, std::type_identity<double>) { return v.asDouble(); }
inline float fromJson(const json::Value& v, std::type_identity<float>) { return v.asFloat(); }
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
I fromJson(const json::Value& v, std::type_identity<I>) {
  if constexpr (std::is_signed_v<I>) {
    std::int64_t x = v.asInt();
    if (x < std::numeric_limits<I>::min() || x > std::numeric_limits<I>::max())
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Parsed JSON number <" + std::to_string(x) + "> does not fit in the integer type.");
    return static_cast<I>(x);
  } else {
    std::uint64_t x = v.asUInt();
    if (x > std::numeric_limits<I>::max())
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Parsed JSON number <" + std::to_string(x) + "> does not fit in the integer type.");
    return static_cast<I>(x);
  }
}

template <class T>
json::Value toJson(const std::optional<T>& v);
template <class T>
json::Value toJson(const std::vector<T>& v);
template <class T>
std::optional<T> fromJson(const json::Value& v, std::type_identity<std::optional<T>>);
template <class T>
std::vector<T> fromJson(const json::Value& v, std::type_identity<std::vector<T>>);

// The dispatchers the containers call.
template <class T>
json::Value encodeElement(const T& value) {
  if constexpr (requires { { value.toJson() } -> std::convertible_to<json::Value>; }) {
    return value.toJson();
  } else {
    using collections::toJson;
    return toJson(value);
  }
}
template <class T>
T decodeElement(const json::Value& value) {
  if constexpr (requires { { T::fromJson(value) } -> std::convertible_to<T>; }) {
    return T::fromJson(value);
  } else {
    using collections::fromJson;
    return fromJson(value, std::type_identity<T>{});
  }
}

template <class T>
json::Value toJson(const std::optional<T>& v) {
  return v ? encodeElement(*v) : json::Value();
}
template <class T>
json::Value toJson(const std::vector<T>& v) {
  json::Array out;
  out.reserve(v.size());
  for (const auto& x : v) out.push_back(encodeElement(x));
  return json::Value(std::move(out));
}
template <class T>
std::optional<T> fromJson(const json::Value& v, std::type_identity<std::optional<T>>) {
  if (v.isNull()) return std::nullopt;
  return decodeElement<T>(v);
}
template <class T>
std::vector<T> fromJson(const json::Value& v, std::type_identity<std::vector<T>>) {
  std::vector<T> out;
  const auto& array = v.asArray();
  out.reserve(array.size());
  for (const auto& x : array) out.push_back(decodeElement<T>(x));
  return out;
}

}  // namespace collections
