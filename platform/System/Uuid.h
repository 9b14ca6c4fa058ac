// Universally unique identifiers: random version-4 values, written in upper case 8-4-4-4-12
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"). A plain value, safe to copy between threads.
// `parse` accepts either case and yields nothing for any other text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::system {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // A fresh random version-4 identifier.
  UUID();
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

  static std::optional<UUID> parse(std::string_view text);

  // Upper-case 8-4-4-4-12 text.
  std::string uuidString() const;
  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace platform::system

template <>
struct std::hash<platform::system::UUID> {
  std::size_t operator()(const platform::system::UUID& id) const noexcept;
};
