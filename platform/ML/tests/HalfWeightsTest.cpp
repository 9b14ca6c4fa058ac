// Weights read into half precision: the file is converted block by block (16384 values at a time),
// so values and the indexes named in errors must come out right on both sides of a block's end.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "platform/ML/detail/Safetensors.h"
#include "testsupport/Fixtures.h"

namespace platform::ml::testing {
namespace {

using detail::SafetensorsFile;
using detail::Tensor;
using detail::WeightsError;

constexpr std::size_t kCount = 40000;  // two full blocks and part of a third

std::filesystem::path writeTensor(const testsupport::TempDir& dir, const std::vector<float>& values) {
  const auto path = dir.path() / "weights.safetensors";
  detail::writeSafetensors(path, {{"w", Tensor{{static_cast<std::int64_t>(values.size())}, values, false}}});
  return path;
}

std::vector<float> ramp() {
  std::vector<float> values(kCount);
  for (std::size_t i = 0; i < kCount; ++i) values[i] = std::sin(static_cast<float>(i) * 0.37f) * 300.0f + 1e-3f * static_cast<float>(i);
  return values;
}

TEST(HalfWeightsTest, EveryValueIsRoundedToTheNearestHalf) {
  testsupport::TempDir dir;
  const auto values = ramp();
  SafetensorsFile file(writeTensor(dir, values));
  std::vector<Float16> halves(kCount);
  file.readHalves("w", halves.data());
  for (std::size_t i = 0; i < kCount; ++i)
    ASSERT_EQ(std::bit_cast<std::uint16_t>(halves[i]), std::bit_cast<std::uint16_t>(static_cast<Float16>(values[i]))) << i;
}

TEST(HalfWeightsTest, ErrorsNameTheIndexInWhicheverBlockItLies) {
  struct Case {
    std::size_t index;
    float value;
    std::string message;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Case& c : {Case{16383, nan, "not a finite float (nan) at index 16383"},
                        Case{16384, 65520.0f, "holds 65520 at index 16384, beyond half precision"},
                        Case{39999, -1e6f, "holds -1e+06 at index 39999, beyond half precision"}}) {
    testsupport::TempDir dir;
    auto values = ramp();
    values[c.index] = c.value;
    SafetensorsFile file(writeTensor(dir, values));
    std::vector<Float16> halves(kCount);
    try {
      file.readHalves("w", halves.data());
      ADD_FAILURE() << "no error for index " << c.index;
    } catch (const WeightsError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("tensor \"w\""), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace platform::ml::testing
