#include "platform/ML/detail/Vector.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/ML/detail/Half.h"

// GCC's own AVX-512 conversion intrinsics start from an undefined register, which it reports as
// uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace platform::ml::detail {

namespace baseline {

// The baseline's registers hold four floats.
using vec = float __attribute__((vector_size(16)));
using ivec = std::int32_t __attribute__((vector_size(16)));
constexpr int LANES = 4;
#define VECTOR_LANES 4

#define LOAD(p)                       \
  ({                                  \
    vec v_;                           \
    std::memcpy(&v_, (p), sizeof v_); \
    v_;                               \
  })

// Four halves widened by the bit manipulation of halfBitsToFloat, lane by lane.
#define LOAD_HALVES(p)                                                                         \
  ({                                                                                           \
    using u4_ = std::uint32_t __attribute__((vector_size(16)));                                \
    using h4_ = std::uint16_t __attribute__((vector_size(8)));                                 \
    h4_ raw_;                                                                                  \
    std::memcpy(&raw_, (p), sizeof raw_);                                                      \
    const u4_ h_ = __builtin_convertvector(raw_, u4_);                                         \
    const vec scaled_ = reinterpret_cast<vec>((h_ & 0x7fffu) << 13) * 0x1p112f;                \
    const u4_ special_ = reinterpret_cast<u4_>((h_ & 0x7c00u) == 0x7c00u) & 0x7f800000u;       \
    reinterpret_cast<vec>(reinterpret_cast<u4_>(scaled_) | special_ | ((h_ & 0x8000u) << 16)); \
  })

#define STORE_HALVES(p, v)                                                 \
  ({                                                                       \
    const vec s_ = (v);                                                    \
    for (int k_ = 0; k_ < 4; ++k_) (p)[k_] = static_cast<Float16>(s_[k_]); \
  })

#include "platform/ML/detail/VectorKernels.inc"
#undef LOAD_HALVES
#undef STORE_HALVES
#undef VECTOR_LANES
}  // namespace baseline

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
#endif
namespace avx2 {

using vec = float __attribute__((vector_size(32)));
using ivec = std::int32_t __attribute__((vector_size(32)));
constexpr int LANES = 8;
#define VECTOR_LANES 8

#define LOAD_HALVES(p) reinterpret_cast<vec>(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
#define STORE_HALVES(p, v) \
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(reinterpret_cast<__m256>(v), _MM_FROUND_TO_NEAREST_INT))

#include "platform/ML/detail/VectorKernels.inc"
#undef LOAD_HALVES
#undef STORE_HALVES
#undef VECTOR_LANES
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2,f16c,fma"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq,avx2,f16c,fma")
#endif
namespace avx512 {

using vec = float __attribute__((vector_size(64)));
using ivec = std::int32_t __attribute__((vector_size(64)));
constexpr int LANES = 16;
#define VECTOR_LANES 16

#define LOAD_HALVES(p) reinterpret_cast<vec>(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))))
#define STORE_HALVES(p, v)                                         \
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),               \
                      _mm512_cvtps_ph(reinterpret_cast<__m512>(v), _MM_FROUND_TO_NEAREST_INT))

#include "platform/ML/detail/VectorKernels.inc"
#undef LOAD_HALVES
#undef STORE_HALVES
#undef VECTOR_LANES
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#undef LOAD

namespace {

// F16C from CPUID leaf 1 (not every compiler knows it as a feature name).
bool hasF16c() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
}

bool supported(InstructionSet set) {
  switch (set) {
    case InstructionSet::portable:
      return true;
    case InstructionSet::avx2:
      return __builtin_cpu_supports("avx2") && hasF16c();
    case InstructionSet::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && hasF16c();
  }
  return false;
}

InstructionSet initial() {
  if (const char* named = std::getenv("PARLET_ML_INSTRUCTION_SET"))
    for (auto set : {InstructionSet::portable, InstructionSet::avx2, InstructionSet::avx512})
      if (std::string(named) == instructionSetName(set) && supported(set)) return set;
  const auto available = availableInstructionSets();
  return available.back();
}

// The one place the instruction set is chosen.
std::atomic<InstructionSet>& chosen() {
  static std::atomic<InstructionSet> set{initial()};
  return set;
}

}  // namespace

std::vector<InstructionSet> availableInstructionSets() {
  std::vector<InstructionSet> sets;
  for (auto set : {InstructionSet::portable, InstructionSet::avx2, InstructionSet::avx512})
    if (supported(set)) sets.push_back(set);
  return sets;
}

InstructionSet instructionSet() { return chosen().load(std::memory_order_relaxed); }

void setInstructionSet(InstructionSet set) {
  if (!supported(set))
    throw std::invalid_argument(std::string("this processor cannot run the ") + instructionSetName(set) + " kernels");
  chosen().store(set);
}

const char* instructionSetName(InstructionSet set) {
  switch (set) {
    case InstructionSet::portable:
      return "portable";
    case InstructionSet::avx2:
      return "avx2";
    case InstructionSet::avx512:
      return "avx512";
  }
  return "unknown";
}

bool fusedAttentionPays() { return instructionSet() == InstructionSet::avx512; }

#define DISPATCH(call)                 \
  switch (instructionSet()) {          \
    case InstructionSet::avx512:       \
      return avx512::call;             \
    case InstructionSet::avx2:         \
      return avx2::call;               \
    default:                           \
      return baseline::call;           \
  }

float dot(const float* a, const float* b, std::size_t n) { DISPATCH(dot(a, b, n)) }

void axpy(float a, const float* x, float* y, std::size_t n) { DISPATCH(axpy(a, x, y, n)) }

void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out) {
  DISPATCH(scaledDots(q, rows, ld, count, n, scale, out))
}

void scaledDots(const float* q, const Float16* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out) {
  DISPATCH(scaledDots(q, rows, ld, count, n, scale, out))
}

void columnDots(const float* q, const Float16* columns, std::size_t ld, std::size_t n, std::size_t count, float scale,
                float* out) {
  DISPATCH(columnDots(q, columns, ld, n, count, scale, out))
}

void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out) {
  DISPATCH(weightedSum(weights, rows, ld, count, n, out))
}

void weightedSum(const float* weights, const Float16* rows, std::size_t ld, std::size_t count, std::size_t n,
                 float* out) {
  DISPATCH(weightedSum(weights, rows, ld, count, n, out))
}

void softmaxScaled(float* x, std::size_t n, float scale) { DISPATCH(softmaxScaled(x, n, scale)) }

void attentionRows(const float* q, std::size_t ldq, std::size_t rows, const float* keysT, std::size_t ldk,
                   const float* values, std::size_t ldv, std::size_t count, std::size_t n, float scale, float* out,
                   std::size_t ldo) {
  DISPATCH(attentionRows(q, ldq, rows, keysT, ldk, values, ldv, count, n, scale, out, ldo))
}

void gelu(float* x, std::size_t n) { DISPATCH(gelu(x, n)) }

void gemvRows(const float* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y) {
  DISPATCH(gemvRows(w, begin, end, cols, x, b, y))
}

void gemvRows(const Float16* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y) {
  DISPATCH(gemvRows(w, begin, end, cols, x, b, y))
}

void floatToHalf(const float* in, Float16* out, std::size_t n) { DISPATCH(floatToHalf(in, out, n)) }

void halfToFloat(const Float16* in, float* out, std::size_t n) { DISPATCH(halfToFloat(in, out, n)) }

#undef DISPATCH

}  // namespace platform::ml::detail
