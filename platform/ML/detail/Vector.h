// Vector primitives of the speech models. Compiled three times: portable (the baseline instruction
// set, four-lane vectors), AVX2 with F16C (eight lanes) and AVX-512 (sixteen lanes). One path runs
// for the whole process: the best the processor has, or the one PARLET_ML_INSTRUCTION_SET names
// (portable, avx2, avx512) when the processor has it. Tests switch paths with setInstructionSet.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/ML/detail/Half.h"

namespace platform::ml::detail {

enum class InstructionSet { portable, avx2, avx512 };

InstructionSet instructionSet();
// The paths this processor can run, portable first.
std::vector<InstructionSet> availableInstructionSets();
// Throws std::invalid_argument when the processor lacks it. Not for use while kernels run.
void setInstructionSet(InstructionSet set);
const char* instructionSetName(InstructionSet set);

float dot(const float* a, const float* b, std::size_t n);

// out[t] = scale · (q · rows[t]) for `count` rows of width n, `ld` elements apart.
void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out);
void scaledDots(const float* q, const Float16* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out);

// out[t] = scale · Σ_r q[r] · columns[r · ld + t] for t < count, r < n: dot products with the
// columns of an [n × ld] matrix (keys stored transposed).
void columnDots(const float* q, const Float16* columns, std::size_t ld, std::size_t n, std::size_t count, float scale,
                float* out);

// out[n] = Σ_t weights[t] · rows[t] over `count` rows of width n, `ld` elements apart.
void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out);
void weightedSum(const float* weights, const Float16* rows, std::size_t ld, std::size_t count, std::size_t n,
                 float* out);

// y += a · x
void axpy(float a, const float* x, float* y, std::size_t n);

// x = softmax(scale · x) for finite x and scale > 0 (e^x by a polynomial, relative error below 3e-7).
void softmaxScaled(float* x, std::size_t n, float scale);

// Attention of `rows` query rows (`ldq` apart) over `count` keys of width n:
//   out[i] = softmax(scale · q[i] · keys) · values
// with the keys given transposed (n rows of `count`, `ldk` apart) and the values as `count` rows
// of n (`ldv` apart); output rows `ldo` apart. Scores are made, normalised and applied block by
// block of keys, never for all keys at once.
void attentionRows(const float* q, std::size_t ldq, std::size_t rows, const float* keysT, std::size_t ldk,
                   const float* values, std::size_t ldv, std::size_t count, std::size_t n, float scale, float* out,
                   std::size_t ldo);

// Whether attentionRows beats products by the BLAS with a separate softmax on the chosen path:
// on AVX-512 it does (by about a quarter of the encoder's time here); with eight or four lanes
// the BLAS products are faster.
bool fusedAttentionPays();

// x = x · Φ(x) in place (erf by a rational approximation, absolute error below 2e-7 · |x|).
void gelu(float* x, std::size_t n);

// y[r] = W[r] · x (+ b[r] when b is not null) for rows r in [begin, end) of a [rows × cols] matrix.
void gemvRows(const float* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y);
void gemvRows(const Float16* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y);

// y[rows] = W[rows × cols] · x (+ b when not null), rows spread over the thread pool.
void gemv(const float* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y);
void gemv(const Float16* w, std::size_t rows, std::size_t cols, const float* x, const float* b, float* y);

}  // namespace platform::ml::detail
