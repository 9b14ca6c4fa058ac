#include "platform/System/Uuid.h"

#include <random>

namespace platform::system {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

UUID::UUID() {
  thread_local std::mt19937_64 engine{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }()};
  for (std::size_t i = 0; i < bytes_.size(); i += 8) {
    std::uint64_t word = engine();
    for (std::size_t k = 0; k < 8; ++k) bytes_[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0 || isDashPosition(i + 1)) return std::nullopt;
    bytes[byte++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes_[i] >> 4]);
    text.push_back(digits[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace platform::system

std::size_t std::hash<platform::system::UUID>::operator()(const platform::system::UUID& id) const noexcept {
  std::size_t hash = 1469598103934665603ull;  // FNV-1a
  for (auto b : id.bytes()) hash = (hash ^ b) * 1099511628211ull;
  return hash;
}
