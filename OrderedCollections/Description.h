// Debug text forms of container members, as the containers' description() prints them:
// strings quoted and escaped ("a\"b"), numbers as the shortest round-trip text (1.0, 0.1, 1e+16),
// true/false, optionals as Optional(x) or nil, vectors as [a, b].
// A type T customizes its form by declaring `std::string debugDescription(const T&)` in its own
// namespace (found by argument-dependent lookup). Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace collections {

std::string debugDescription(std::string_view s);
inline std::string debugDescription(const std::string& s) { return debugDescription(std::string_view(s)); }
inline std::string debugDescription(const char* s) { return debugDescription(std::string_view(s)); }
std::string debugDescription(bool b);
std::string debugDescription(double d);
std::string debugDescription(float f);
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
std::string debugDescription(I i) {
  return std::to_string(i);
}
template <class T>
std::string debugDescription(const std::optional<T>& v);
template <class T>
std::string debugDescription(const std::vector<T>& v);

template <class T>
std::string debugText(const T& value) {
  using collections::debugDescription;
  return debugDescription(value);
}

// "[a, b]"; "[]" when empty.
template <class It>
std::string arrayDescription(It first, It last) {
  std::string out = "[";
  for (It it = first; it != last; ++it) {
    if (it != first) out += ", ";
    out += debugText(*it);
  }
  return out + "]";
}

template <class T>
std::string debugDescription(const std::optional<T>& v) {
  return v ? "Optional(" + debugText(*v) + ")" : "nil";
}
template <class T>
std::string debugDescription(const std::vector<T>& v) {
  return arrayDescription(v.begin(), v.end());
}

}  // namespace collections
