#include "Murmel/decoding/detail/HalfFloats.h"

#include <vector>

namespace murmel::detail {

const float* halfToFloatTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(65536);
    for (std::uint32_t bits = 0; bits < 65536; ++bits) {
      const auto b = static_cast<std::uint16_t>(bits);
      platform::ml::Float16 h;
      std::memcpy(&h, &b, sizeof h);
      t[bits] = static_cast<float>(h);
    }
    return t;
  }();
  return table.data();
}

}  // namespace murmel::detail
