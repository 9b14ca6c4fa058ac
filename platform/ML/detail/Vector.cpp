#include "platform/ML/detail/Vector.h"

#include <cstring>

#include "platform/ML/detail/Half.h"

namespace platform::ml::detail {

namespace {

using v8 = float __attribute__((vector_size(32)));

#define LOAD(p) \
  ({                               \
    v8 v_;                         \
    std::memcpy(&v_, (p), sizeof v_); \
    v_;                            \
  })

}  // namespace

namespace baseline {
#include "platform/ML/detail/VectorKernels.inc"
}  // namespace baseline

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "platform/ML/detail/VectorKernels.inc"
}  // namespace avx2
#pragma GCC pop_options

namespace {

// The one place the instruction set is chosen, once per process.
bool useAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

}  // namespace

float dot(const float* a, const float* b, std::size_t n) {
  return useAvx2() ? avx2::dot(a, b, n) : baseline::dot(a, b, n);
}

void axpy(float a, const float* x, float* y, std::size_t n) {
  useAvx2() ? avx2::axpy(a, x, y, n) : baseline::axpy(a, x, y, n);
}

void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out) {
  useAvx2() ? avx2::scaledDots(q, rows, ld, count, n, scale, out) : baseline::scaledDots(q, rows, ld, count, n, scale, out);
}

void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out) {
  useAvx2() ? avx2::weightedSum(weights, rows, ld, count, n, out) : baseline::weightedSum(weights, rows, ld, count, n, out);
}

void gemvRows(const float* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y) {
  useAvx2() ? avx2::gemvRows(w, begin, end, cols, x, b, y) : baseline::gemvRows(w, begin, end, cols, x, b, y);
}

void halfToFloat(const Float16* in, float* out, std::size_t n) {
  useAvx2() ? avx2::halfToFloat(in, out, n) : baseline::halfToFloat(in, out, n);
}

}  // namespace platform::ml::detail
