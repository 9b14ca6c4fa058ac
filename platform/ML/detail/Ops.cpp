#include "platform/ML/detail/Ops.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/ML/detail/Parallel.h"
#include "platform/ML/detail/Profile.h"
#include "platform/ML/detail/Vector.h"

namespace platform::ml::detail {

void gemmSerial(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                const float* b, std::size_t ldb, float* c, std::size_t ldc, float beta) {
  if (m == 0 || n == 0) return;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, transB ? CblasTrans : CblasNoTrans, static_cast<blasint>(m),
              static_cast<blasint>(n), static_cast<blasint>(k), 1.0f, a, static_cast<blasint>(lda), b,
              static_cast<blasint>(ldb), beta, c, static_cast<blasint>(ldc));
}

namespace {

constexpr std::size_t kWideningBlock = 1 << 16;

}  // namespace

void forRowBlocks(std::size_t m, const std::function<void(std::size_t begin, std::size_t end)>& body) {
  // Blocks of at least 64 rows, two per thread.
  const std::size_t tasks = std::min<std::size_t>(parallelism() * 2, (m + 63) / 64);
  if (tasks <= 1) {
    if (m) body(0, m);
    return;
  }
  const std::size_t rows = (m + tasks - 1) / tasks;
  parallelFor(tasks, [&](std::size_t t) {
    const std::size_t begin = t * rows, end = std::min(m, begin + rows);
    if (begin < end) body(begin, end);
  });
}

void forRowBlocks(std::size_t m, std::span<const Widening> widenings,
                  const std::function<void(std::size_t begin, std::size_t end)>& body) {
  std::vector<std::pair<const Widening*, std::size_t>> pieces;  // (values, first of a block)
  for (const auto& w : widenings)
    for (std::size_t first = 0; first < w.count; first += kWideningBlock) pieces.emplace_back(&w, first);
  // Blocks of at least 64 rows, one per thread: the fewer blocks, the fewer times their products
  // pack the same weights.
  const std::size_t blocks = std::clamp<std::size_t>((m + 63) / 64, 1, parallelism());
  const std::size_t rows = (m + blocks - 1) / blocks;
  parallelFor(pieces.size() + blocks, [&](std::size_t t) {
    if (t < pieces.size()) {
      const auto [w, first] = pieces[t];
      ProfileScope scope(Operation::widening);
      halfToFloat(w->from + first, w->to + first, std::min(kWideningBlock, w->count - first));
      return;
    }
    const std::size_t begin = (t - pieces.size()) * rows, end = std::min(m, begin + rows);
    if (begin < end) body(begin, end);
  });
}

void gemm(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda, const float* b,
          std::size_t ldb, float* c, std::size_t ldc, float beta) {
  // Row blocks of A and C, one single-threaded sgemm each; B is shared read-only.
  forRowBlocks(m, [&](std::size_t begin, std::size_t end) {
    gemmSerial(transB, end - begin, n, k, a + begin * lda, lda, b, ldb, c + begin * ldc, ldc, beta);
  });
}

void widen(const Float16* in, float* out, std::size_t n) {
  parallelFor((n + kWideningBlock - 1) / kWideningBlock, [&](std::size_t k) {
    ProfileScope scope(Operation::widening);
    halfToFloat(in + k * kWideningBlock, out + k * kWideningBlock, std::min(kWideningBlock, n - k * kWideningBlock));
  });
}

void layerNorm(const float* x, std::size_t n, std::size_t d, const float* gamma, const float* beta, float* y) {
  constexpr float eps = 1e-5f;
  ProfileScope scope(Operation::layerNorm);
  for (std::size_t r = 0; r < n; ++r) {
    const float* xr = x + r * d;
    float* yr = y + r * d;
    double mean = 0;
    for (std::size_t i = 0; i < d; ++i) mean += xr[i];
    mean /= static_cast<double>(d);
    double var = 0;
    for (std::size_t i = 0; i < d; ++i) var += (xr[i] - mean) * (xr[i] - mean);
    var /= static_cast<double>(d);
    const float inv = static_cast<float>(1.0 / std::sqrt(var + eps));
    const float m = static_cast<float>(mean);
    for (std::size_t i = 0; i < d; ++i) yr[i] = (xr[i] - m) * inv * gamma[i] + beta[i];
  }
}

void geluInPlace(float* x, std::size_t n) {
  ProfileScope scope(Operation::gelu);
  gelu(x, n);
}

void softmaxInPlace(float* x, std::size_t n) {
  if (n == 0) return;
  ProfileScope scope(Operation::softmax);
  const float m = *std::max_element(x, x + n);
  if (m == -std::numeric_limits<float>::infinity()) {
    std::fill(x, x + n, 0.0f);
    return;
  }
  float sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += (x[i] = std::exp(x[i] - m));
  const float inv = 1.0f / sum;
  for (std::size_t i = 0; i < n; ++i) x[i] *= inv;
}

std::vector<float> sinusoids(std::size_t length, std::size_t channels) {
  std::vector<float> out(length * channels);
  const std::size_t half = channels / 2;
  const double increment = half > 1 ? std::log(10000.0) / static_cast<double>(half - 1) : 0.0;
  for (std::size_t t = 0; t < length; ++t)
    for (std::size_t i = 0; i < half; ++i) {
      const double angle = static_cast<double>(t) * std::exp(-increment * static_cast<double>(i));
      out[t * channels + i] = static_cast<float>(std::sin(angle));
      out[t * channels + half + i] = static_cast<float>(std::cos(angle));
    }
  return out;
}

namespace {

// Blocks of about 64 KB of weights: enough work per task, enough tasks to balance; small products
// stay on the calling thread.
template <class Weight>
void spreadRows(const Weight* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y) {
  if (rows * cols * sizeof(Weight) <= 65536 * 4) return gemvRows(w, 0, rows, cols, x, b, y);
  const std::size_t block = std::max<std::size_t>(16, 65536 / sizeof(Weight) / std::max<std::size_t>(cols, 1));
  parallelFor((rows + block - 1) / block, [&](std::size_t k) {
    gemvRows(w, k * block, std::min(rows, (k + 1) * block), cols, x, b, y);
  });
}

}  // namespace

void gemv(const float* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y) {
  spreadRows(w, rows, cols, x, b, y);
}

void gemv(const Float16* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y) {
  spreadRows(w, rows, cols, x, b, y);
}

}  // namespace platform::ml::detail
