#include <gtest/gtest.h>

#include "KestrumCore/TensorConversions.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "KestrumCore/Concurrency.h"

namespace kestrum {
namespace {

using platform::ml::Float16;
using platform::ml::MLShapedArray;
using platform::ml::MLTensor;

TEST(TensorConversionsTest, ScalarsByType) {
  EXPECT_TRUE(asFloatArray(MLTensor(MLShapedArray<float>({}, {0}))).empty());
  EXPECT_EQ(asFloatArray(MLTensor(MLShapedArray<Float16>({Float16(0.5), Float16(-2)}, {2}))),
            (std::vector<float>{0.5f, -2.0f}));
  // 2^24 + 1 has no float; the nearest is 2^24.
  EXPECT_EQ(asFloatArray(MLTensor(MLShapedArray<std::int32_t>({16777217}, {1}))), (std::vector<float>{16777216.0f}));
  const MLTensor ints(MLShapedArray<std::int32_t>({-1, 2147483647, 3}, {3, 1}));
  EXPECT_EQ(asIntArray(ints), (std::vector<std::int64_t>{-1, 2147483647, 3}));
  EXPECT_EQ(asIntArray(ints), toIntArray(ints).get());
}

TEST(TensorConversionsTest, MultiArrayKeepsShapeAndElementType) {
  auto array = asMLMultiArray(MLTensor(MLShapedArray<Float16>({Float16(1), Float16(2), Float16(3), Float16(4)}, {2, 2})));
  EXPECT_EQ(array->dataType(), platform::ml::MLMultiArrayDataType::float16);
  EXPECT_EQ(array->shape(), (std::vector<std::int64_t>{2, 2}));
  EXPECT_EQ((*array)[3], 4.0);
}

TEST(TensorConversionsTest, WaitingFormsWorkFromEveryPoolWorkerAtOnce) {
  // Each worker blocks until all have started, then converts: a conversion that needed a free
  // worker of the same pool would never finish.
  auto& pool = ThreadPool::shared();
  const std::size_t n = pool.threadCount();
  std::atomic<std::size_t> started{0};
  std::vector<std::future<std::vector<float>>> results;
  for (std::size_t i = 0; i < n; ++i)
    results.push_back(pool.submit([&] {
      ++started;
      while (started.load() < n) std::this_thread::yield();
      return asFloatArray(MLTensor(MLShapedArray<float>({1.0f, 2.0f}, {2})));
    }));
  for (auto& r : results) {
    ASSERT_EQ(r.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(r.get(), (std::vector<float>{1.0f, 2.0f}));
  }
}

TEST(TensorConversionsTest, UnsupportedScalarTypesAreNamed) {
  const MLTensor doubles(MLShapedArray<double>({1.0}, {1}));
  try {
    asFloatArray(doubles);
    FAIL() << "converted doubles";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Unsupported scalar type: double");
  }
  EXPECT_THROW(asIntArray(MLTensor(MLShapedArray<float>({1.0f}, {1}))), std::invalid_argument);
  EXPECT_THROW(asMLMultiArray(doubles), std::invalid_argument);
}

}  // namespace
}  // namespace kestrum
