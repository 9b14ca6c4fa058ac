// Text of a value as print writes it: texts as they are, integers in decimal, floating-point
// numbers in their shortest round-trip form with ".0" for whole numbers ("2.5", "1.0", "1e-05",
// "inf", "nan"), booleans as "true"/"false", and anything with a `description()` member, a
// `description(value)` function found by argument lookup, or an `operator<<`.
#pragma once

#include <concepts>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrum {

std::string describeDouble(double value);
std::string describeFloat(float value);

template <class T>
std::string describe(const T& value) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_pointer_v<U> && std::is_convertible_v<const U&, std::string_view>) {
    return value ? std::string(value) : std::string("nil");
  } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
    return std::string(std::string_view(value));
  } else if constexpr (std::is_same_v<U, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<U, char>) {
    return std::string(1, value);
  } else if constexpr (std::is_integral_v<U>) {
    return std::to_string(value);
  } else if constexpr (std::is_same_v<U, float>) {
    return describeFloat(value);
  } else if constexpr (std::is_floating_point_v<U>) {
    return describeDouble(static_cast<double>(value));
  } else if constexpr (requires { { value.description() } -> std::convertible_to<std::string>; }) {
    return value.description();
  } else if constexpr (requires { { description(value) } -> std::convertible_to<std::string>; }) {
    return description(value);
  } else if constexpr (requires { typename U::value_type; value.has_value(); *value; }) {
    return value.has_value() ? describe(*value) : std::string("nil");
  } else {
    std::ostringstream out;
    out << value;
    return out.str();
  }
}

}  // namespace kestrum
