// The vector kernels on every instruction-set path against double-precision arithmetic, at
// lengths below, at and past each path's vector width (4, 8, 16 lanes) so tails are covered too.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/ML/tests/InstructionSets.h"

namespace platform::ml::testing {
namespace {

using namespace detail;
using VectorKernelsTest = EveryInstructionSet;

const std::size_t kLengths[] = {1, 3, 4, 7, 8, 15, 16, 17, 33, 64, 100, 1500};

std::vector<float> randomFloats(std::size_t n, float spread, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, spread);
  std::vector<float> v(n);
  for (auto& x : v) x = normal(rng);
  return v;
}

TEST_P(VectorKernelsTest, SoftmaxMatchesDoublePrecision) {
  for (std::size_t n : kLengths)
    for (float spread : {0.5f, 8.0f, 60.0f}) {  // the widest leaves most weights below float's range
      auto x = randomFloats(n, spread, static_cast<std::uint32_t>(n));
      const float scale = 0.125f;
      std::vector<double> expected(n);
      double top = -1e300, sum = 0;
      for (float v : x) top = std::max(top, double{v} * scale);
      for (std::size_t i = 0; i < n; ++i) sum += expected[i] = std::exp(double{x[i]} * scale - top);
      const auto before = x;
      softmaxScaled(x.data(), n, scale);
      // Rounding the exponent to float moves e^a by |a| · 6e-8 relative; the polynomial adds 2e-7.
      for (std::size_t i = 0; i < n; ++i) {
        const double exponent = std::abs(double{before[i]} * scale - top), weight = expected[i] / sum;
        ASSERT_NEAR(x[i], weight, weight * 1e-7 * (3 + exponent) + 1e-37) << "n " << n << " spread " << spread << " at " << i;
      }
    }
}

TEST_P(VectorKernelsTest, GeluMatchesTheErrorFunction) {
  std::vector<float> x;
  for (float v = -12.0f; v <= 12.0f; v += 0.0137f) x.push_back(v);
  for (float v : {0.0f, -0.0f, 1e-30f, -1e-30f, 40.0f, -40.0f, 1e6f, -1e6f}) x.push_back(v);
  for (std::size_t n : kLengths) {
    std::vector<float> y(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
    gelu(y.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = x[i], expected = 0.5 * v * (1 + std::erf(v / std::sqrt(2.0)));
      ASSERT_NEAR(y[i], expected, 3e-7 * std::max(1.0, std::abs(v))) << "x " << v;
    }
  }
  gelu(x.data(), x.size());
  for (std::size_t i = x.size() - 8; i < x.size(); ++i) {
    const double v = x[i];
    EXPECT_TRUE(std::isfinite(v)) << i;
  }
}

TEST_P(VectorKernelsTest, HalfConversionsAreExactAndRoundToNearestEven) {
  std::vector<std::uint16_t> bits(65536);
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint16_t>(i);
  std::vector<float> widened(bits.size());
  halfToFloat(reinterpret_cast<const Float16*>(bits.data()), widened.data(), bits.size());
  for (std::size_t i = 0; i < bits.size(); ++i) {
    const float expected = halfBitsToFloat(bits[i]);
    if (std::isnan(expected)) ASSERT_TRUE(std::isnan(widened[i])) << i;
    else ASSERT_EQ(std::bit_cast<std::uint32_t>(widened[i]), std::bit_cast<std::uint32_t>(expected)) << i;
  }
  // Halfway cases between neighbours, subnormals, overflow and a spread of ordinary values.
  std::vector<float> values{1.0f + 0x1p-11f, 1.0f + 3 * 0x1p-11f, 65504.0f, 65520.0f, 1e9f, -1e9f, 0x1p-25f,
                            0x1p-24f, 3 * 0x1p-26f, -0.0f, 6.1e-5f, -2.5e-6f};
  for (float v : randomFloats(1000, 30.0f, 5)) values.push_back(v);
  std::vector<Float16> narrowed(values.size());
  floatToHalf(values.data(), narrowed.data(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    ASSERT_EQ(std::bit_cast<std::uint16_t>(narrowed[i]), std::bit_cast<std::uint16_t>(static_cast<Float16>(values[i])))
        << values[i];
}

TEST_P(VectorKernelsTest, ProductsOverFloatAndHalfRowsMatchDoublePrecision) {
  for (std::size_t n : kLengths) {
    const std::size_t rows = 9, ld = n + 3;
    const auto matrix = randomFloats(rows * ld, 1.0f, 17), x = randomFloats(n, 1.0f, 19), bias = randomFloats(rows, 1.0f, 23);
    std::vector<Float16> halves(matrix.size());
    for (std::size_t i = 0; i < matrix.size(); ++i) halves[i] = static_cast<Float16>(matrix[i]);
    auto value = [&](bool half, std::size_t i) { return half ? double{static_cast<float>(halves[i])} : double{matrix[i]}; };
    for (bool half : {false, true}) {
      SCOPED_TRACE(std::string(half ? "half" : "float") + " rows of " + std::to_string(n));
      std::vector<float> dots(rows), sum(n), y(rows);
      if (half) {
        scaledDots(x.data(), halves.data(), ld, rows, n, 0.5f, dots.data());
        weightedSum(x.data(), halves.data(), ld, std::min(rows, n), n, sum.data());
      } else {
        scaledDots(x.data(), matrix.data(), ld, rows, n, 0.5f, dots.data());
        weightedSum(x.data(), matrix.data(), ld, std::min(rows, n), n, sum.data());
      }
      for (std::size_t r = 0; r < rows; ++r) {
        double expected = 0;
        for (std::size_t i = 0; i < n; ++i) expected += value(half, r * ld + i) * x[i];
        ASSERT_NEAR(dots[r], 0.5 * expected, 1e-5 * (1 + std::sqrt(double(n)))) << "row " << r;
      }
      if (half) {  // the same matrix read by columns: n dot products of length `rows`
        const auto q = randomFloats(rows, 1.0f, 29);
        std::vector<float> columns(n);
        columnDots(q.data(), halves.data(), ld, rows, n, 0.5f, columns.data());
        for (std::size_t t = 0; t < n; ++t) {
          double expected = 0;
          for (std::size_t r = 0; r < rows; ++r) expected += q[r] * value(true, r * ld + t);
          ASSERT_NEAR(columns[t], 0.5 * expected, 1e-5 * (1 + double(rows))) << "column " << t;
        }
      }
      for (std::size_t i = 0; i < n; ++i) {
        double expected = 0;
        for (std::size_t t = 0; t < std::min(rows, n); ++t) expected += x[t] * value(half, t * ld + i);
        ASSERT_NEAR(sum[i], expected, 1e-5 * (1 + double(rows))) << "column " << i;
      }
      // Matrix-vector rows, packed [rows × n], with and without bias, over a range not starting at 0.
      std::vector<float> packed(rows * n);
      std::vector<Float16> packedHalves(rows * n);
      for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t i = 0; i < n; ++i) {
          packed[r * n + i] = matrix[r * ld + i];
          packedHalves[r * n + i] = halves[r * ld + i];
        }
      for (const float* b : {static_cast<const float*>(nullptr), bias.data()}) {
        std::fill(y.begin(), y.end(), -7.0f);
        if (half) gemvRows(packedHalves.data(), 1, rows, n, x.data(), b, y.data());
        else gemvRows(packed.data(), 1, rows, n, x.data(), b, y.data());
        EXPECT_EQ(y[0], -7.0f);
        for (std::size_t r = 1; r < rows; ++r) {
          double expected = b ? b[r] : 0.0;
          for (std::size_t i = 0; i < n; ++i) expected += value(half, r * ld + i) * x[i];
          ASSERT_NEAR(y[r], expected, 1e-5 * (1 + std::sqrt(double(n)))) << "row " << r;
        }
      }
    }
  }
}

// Key counts on both sides of each path's key block (16, 32 or 64 keys), widths that fill four
// vectors of each path or leave a remainder, query rows past the four (or two) handled together.
TEST_P(VectorKernelsTest, FusedAttentionMatchesDoublePrecision) {
  for (std::size_t n : {3, 16, 32, 64})
    for (std::size_t count : {1, 7, 16, 33, 64, 65, 150})
      for (std::size_t rows : {1, 3, 5, 9}) {
        SCOPED_TRACE("width " + std::to_string(n) + ", keys " + std::to_string(count) + ", rows " + std::to_string(rows));
        const std::size_t ldq = n + 5, ldk = count + 3, ldv = n + 7, ldo = n + 1;
        const auto q = randomFloats(rows * ldq, 1.5f, 31), keysT = randomFloats(n * ldk, 1.5f, 37),
                   values = randomFloats(count * ldv, 1.0f, 41);
        const float scale = 1.0f / std::sqrt(static_cast<float>(n));
        std::vector<float> out(rows * ldo, -9.0f);
        attentionRows(q.data(), ldq, rows, keysT.data(), ldk, values.data(), ldv, count, n, scale, out.data(), ldo);
        for (std::size_t i = 0; i < rows; ++i) {
          std::vector<double> w(count);
          double top = -1e300, sum = 0;
          for (std::size_t t = 0; t < count; ++t) {
            double dot = 0;
            for (std::size_t r = 0; r < n; ++r) dot += double{q[i * ldq + r]} * keysT[r * ldk + t];
            top = std::max(top, w[t] = dot * scale);
          }
          for (auto& x : w) sum += x = std::exp(x - top);
          for (std::size_t c = 0; c < n; ++c) {
            double expected = 0;
            for (std::size_t t = 0; t < count; ++t) expected += w[t] / sum * values[t * ldv + c];
            ASSERT_NEAR(out[i * ldo + c], expected, 2e-5 * (1 + std::abs(expected))) << "row " << i << " column " << c;
          }
          EXPECT_EQ(out[i * ldo + n], -9.0f) << "row " << i << " written past its width";
        }
      }
}

PARLET_ON_EVERY_INSTRUCTION_SET(VectorKernelsTest);

TEST(InstructionSetTest, EveryPathCanBeChosenAndPortableIsAlwaysThere) {
  const auto sets = availableInstructionSets();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), InstructionSet::portable);
  const auto before = instructionSet();
  for (auto set : sets) {
    setInstructionSet(set);
    EXPECT_EQ(instructionSet(), set);
  }
  setInstructionSet(before);
}

}  // namespace
}  // namespace platform::ml::testing
