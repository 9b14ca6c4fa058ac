#include <gtest/gtest.h>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml {
namespace {

TEST(MLMultiArrayTest, DataTypeCodesAreThePlatformValues) {
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float16), 65552);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float32), 65568);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float64), 65600);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::int32), 131104);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::int8), 131080);
}

TEST(MLMultiArrayTest, RowMajorStridesAlignedZeroedStorage) {
  MLMultiArray a({1, 6, 1, 4}, MLMultiArrayDataType::float16);
  EXPECT_EQ(a.strides(), (std::vector<std::int64_t>{24, 4, 4, 1}));
  EXPECT_EQ(a.count(), 24);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.dataPointer()) % 64, 0u);
  for (std::int64_t i = 0; i < a.count(); ++i) ASSERT_EQ(a[i], 0.0);
  EXPECT_EQ(MLMultiArray({0, 3}, MLMultiArrayDataType::int32).count(), 0);
}

TEST(MLMultiArrayTest, ElementsConvertToTheElementType) {
  MLMultiArray half({3}, MLMultiArrayDataType::float16), ints({3}, MLMultiArrayDataType::int32);
  half.setValue(0, -10000);
  half.setValue(1, 0.1);
  EXPECT_EQ(half[0], -10000.0);
  EXPECT_EQ(half[1], static_cast<double>(static_cast<Float16>(0.1f)));
  ints.setValue(0, 3e10);  // saturates instead of overflowing
  ints.setValue(1, -7.9);
  EXPECT_EQ(ints[0], 2147483647.0);
  EXPECT_EQ(ints[1], -7.0);
  EXPECT_THROW(ints.setValue(3, 1), std::out_of_range);
  EXPECT_THROW(ints.data<float>(), MLMultiArrayError);
}

TEST(MLMultiArrayTest, BadShapesAreRejected) {
  EXPECT_THROW(MLMultiArray({2, -1}, MLMultiArrayDataType::float32), MLMultiArrayError);
  EXPECT_THROW(MLMultiArray({1 << 30, 1 << 30, 1 << 30}, MLMultiArrayDataType::float32), MLMultiArrayError);
}

TEST(MLMultiArrayTest, MutableAccessAdvancesTheGeneration) {
  MLMultiArray a({2}, MLMultiArrayDataType::float32), b({2}, MLMultiArrayDataType::float32);
  EXPECT_NE(a.identifier(), b.identifier());
  const auto g = a.generation();
  const MLMultiArray& readOnly = a;
  (void)readOnly.data<float>();
  (void)readOnly[0];
  EXPECT_EQ(a.generation(), g);
  a.setValue(0, 1);
  EXPECT_GT(a.generation(), g);
  const auto g2 = a.generation();
  a.data<float>()[1] = 2;
  EXPECT_GT(a.generation(), g2);
}

}  // namespace
}  // namespace platform::ml
