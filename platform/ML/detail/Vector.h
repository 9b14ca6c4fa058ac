// Vector primitives of the decoder's one-token work. Compiled for the baseline instruction set and
// for AVX2 with F16C; the processor decides once which runs. Both add in the same eight-lane order.
#pragma once

#include <cstddef>

#include "platform/ML/detail/Half.h"

namespace platform::ml::detail {

float dot(const float* a, const float* b, std::size_t n);

// out[t] = scale · (q · rows[t]) for `count` rows of width n, `ld` floats apart.
void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out);

// out[n] = Σ_t weights[t] · rows[t] over `count` rows of width n, `ld` floats apart.
void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out);

// y += a · x
void axpy(float a, const float* x, float* y, std::size_t n);

// y[r] = W[r] · x (+ b[r] when b is not null) for rows r in [begin, end) of a [rows × cols] matrix.
void gemvRows(const float* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y);
void gemvRows(const Float16* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y);

// y[rows] = W[rows × cols] · x (+ b when not null), rows spread over the thread pool.
void gemv(const float* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y);
void gemv(const Float16* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y);

}  // namespace platform::ml::detail
