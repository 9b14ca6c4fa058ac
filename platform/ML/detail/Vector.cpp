#include "platform/ML/detail/Vector.h"

#include <algorithm>
#include <cstring>

#include "platform/ML/detail/Half.h"
#include "platform/ML/detail/Parallel.h"

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

__attribute__((target_clones("arch=haswell", "default")))
float dot(const float* a, const float* b, std::size_t n) {
  v8 s0 = {}, s1 = {}, s2 = {}, s3 = {};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 += LOAD(a + i) * LOAD(b + i);
    s1 += LOAD(a + i + 8) * LOAD(b + i + 8);
    s2 += LOAD(a + i + 16) * LOAD(b + i + 16);
    s3 += LOAD(a + i + 24) * LOAD(b + i + 24);
  }
  for (; i + 8 <= n; i += 8) s0 += LOAD(a + i) * LOAD(b + i);
  const v8 s = (s0 + s1) + (s2 + s3);
  float sum = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

__attribute__((target_clones("arch=haswell", "default")))
void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out) {
  for (std::size_t t = 0; t < count; ++t) {
    const float* row = rows + t * ld;
    v8 s = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s += LOAD(q + i) * LOAD(row + i);
    float sum = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (; i < n; ++i) sum += q[i] * row[i];
    out[t] = sum * scale;
  }
}

__attribute__((target_clones("arch=haswell", "default")))
void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = 0.0f;
  for (std::size_t t = 0; t < count; ++t) {
    const float w = weights[t];
    const float* row = rows + t * ld;
    for (std::size_t i = 0; i < n; ++i) out[i] += w * row[i];
  }
}

__attribute__((target_clones("arch=haswell", "default")))
void axpy(float a, const float* x, float* y, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

__attribute__((target_clones("arch=haswell", "default")))
void halfToFloat(const Float16* in, float* out, std::size_t n) {
  const auto* bits = reinterpret_cast<const std::uint16_t*>(in);
  for (std::size_t i = 0; i < n; ++i) out[i] = halfBitsToFloat(bits[i]);
}

void gemv(const float* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y) {
  if (rows * cols <= 65536) {
    for (std::size_t r = 0; r < rows; ++r) y[r] = dot(w + r * cols, x, cols) + (b ? b[r] : 0.0f);
    return;
  }
  // Blocks of about 64 KB of weights: enough work per task, enough tasks to balance.
  const std::size_t block = std::max<std::size_t>(16, 16384 / std::max<std::size_t>(cols, 1));
  parallelFor((rows + block - 1) / block, [&](std::size_t k) {
    const std::size_t end = std::min(rows, (k + 1) * block);
    for (std::size_t r = k * block; r < end; ++r) y[r] = dot(w + r * cols, x, cols) + (b ? b[r] : 0.0f);
  });
}

}  // namespace platform::ml::detail
