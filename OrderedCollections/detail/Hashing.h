// Order-sensitive hash accumulation used by the containers' hashValue(seed) and std::hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace collections::detail {

class Hasher {
 public:
  explicit Hasher(std::uint64_t seed = 0) : state_(seed ^ 0x6a09e667f3bcc909ULL) {}
  void combine(std::uint64_t v) { state_ = mix(state_ ^ mix(v + 0x9e3779b97f4a7c15ULL)) + 0x632be59bd9b4e019ULL; }
  std::size_t finalize() const { return static_cast<std::size_t>(mix(state_)); }

  static std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }

 private:
  std::uint64_t state_;
};

}  // namespace collections::detail
