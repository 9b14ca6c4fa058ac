// Float32 building blocks of the speech models, row-major throughout.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "platform/ML/detail/Half.h"

namespace platform::ml::detail {

// body(begin, end) over blocks of [0, m), spread over the thread pool as `gemm` splits rows.
void forRowBlocks(std::size_t m, const std::function<void(std::size_t begin, std::size_t end)>& body);

// Half-precision values widened to float, spread over the thread pool.
void widen(const Float16* in, float* out, std::size_t n);

// Half-precision values to widen beside a loop's own work.
struct Widening {
  const Float16* from;
  float* to;
  std::size_t count;
};

// body(begin, end) over blocks of at least 64 rows of [0, m), one per thread, in one loop of the
// pool with the widening of `widenings` (claimed first; the rows must not read them): one wait for
// both instead of one each.
void forRowBlocks(std::size_t m, std::span<const Widening> widenings,
                  const std::function<void(std::size_t begin, std::size_t end)>& body);

// C[m × n] = A[m × k] · B (B is [k × n], or [n × k] when transB), with leading dimensions given.
// `gemm` splits the rows over the thread pool; `gemmSerial` runs on the calling thread.
void gemmSerial(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                const float* b, std::size_t ldb, float* c, std::size_t ldc, float beta = 0.0f);
void gemm(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda, const float* b,
          std::size_t ldb, float* c, std::size_t ldc, float beta = 0.0f);

// Each of the n rows of x (width d) normalised with mean and variance, then scaled and shifted.
void layerNorm(const float* x, std::size_t n, std::size_t d, const float* gamma, const float* beta, float* y);

void geluInPlace(float* x, std::size_t n);  // x · Φ(x), erf approximated within 2e-7

void softmaxInPlace(float* x, std::size_t n);

// Sinusoidal positions [length × channels]: sin over the first half, cos over the second.
std::vector<float> sinusoids(std::size_t length, std::size_t channels);

}  // namespace platform::ml::detail
