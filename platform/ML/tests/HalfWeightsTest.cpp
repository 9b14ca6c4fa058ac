// Weights read into half precision: the file is converted block by block (16384 values at a time),
// so values and the indexes named in errors must come out right on both sides of a block's end.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>

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

// F16 data is taken as stored, across the same block ends: the values come out bit for bit and a
// stored infinity or NaN names its index.
TEST(HalfWeightsTest, StoredHalvesAreTakenAsTheyAreAndCheckedForNonFiniteValues) {
  const auto values = ramp();
  std::vector<std::uint16_t> bits(kCount);
  for (std::size_t i = 0; i < kCount; ++i) bits[i] = std::bit_cast<std::uint16_t>(static_cast<Float16>(values[i]));
  auto write = [&](const testsupport::TempDir& dir, const std::vector<std::uint16_t>& data) {
    const auto path = dir.path() / "weights.safetensors";
    detail::SafetensorsWriter out(path, {{"w", {"F16", {static_cast<std::int64_t>(kCount)}}}});
    out.write(data.data(), data.size() * 2);
    out.finish();
    return path;
  };
  {
    testsupport::TempDir dir;
    SafetensorsFile file(write(dir, bits));
    std::vector<Float16> halves(kCount);
    file.readHalves("w", halves.data());
    std::vector<std::uint16_t> blocks(kCount);
    file.readHalfBlocks("w", [&](const Float16* h, std::size_t count, std::size_t at) {
      std::memcpy(blocks.data() + at, h, count * 2);
    });
    for (std::size_t i = 0; i < kCount; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint16_t>(halves[i]), bits[i]) << i;
      ASSERT_EQ(blocks[i], bits[i]) << i;
    }
  }
  for (const auto& [index, stored, text] : {std::tuple{std::size_t{16383}, std::uint16_t{0x7c00}, "(inf) at index 16383"},
                                            std::tuple{std::size_t{16384}, std::uint16_t{0x7e00}, "(nan) at index 16384"},
                                            std::tuple{std::size_t{39999}, std::uint16_t{0xfc00}, "(-inf) at index 39999"}}) {
    testsupport::TempDir dir;
    auto broken = bits;
    broken[index] = stored;
    SafetensorsFile file(write(dir, broken));
    std::vector<Float16> halves(kCount);
    for (bool whole : {true, false}) {
      try {
        if (whole) file.readHalves("w", halves.data());
        else file.readHalfBlocks("w", [](const Float16*, std::size_t, std::size_t) {});
        ADD_FAILURE() << "no error for index " << index;
      } catch (const WeightsError& e) {
        EXPECT_NE(std::string(e.what()).find(std::string("not a finite float ") + text), std::string::npos) << e.what();
      }
    }
  }
}

}  // namespace
}  // namespace platform::ml::testing
