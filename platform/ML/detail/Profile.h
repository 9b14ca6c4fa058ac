// Time per operation of the kernels, for benchmarks: while collection is on, each scope adds its
// duration on the thread that ran it, so an operation's figure is summed over the pool's threads.
// Off (the default) a scope costs one relaxed load. Thread-safe.
//   setProfiling(true); encoder->prediction(...); const auto figures = takeProfile();
#pragma once

#include <array>
#include <chrono>
#include <cstddef>

namespace platform::ml::detail {

// The encoder's operations, then the decoder's cross-attention keys and values (timed whole on the
// thread that asks for them: the wall time of their computation).
enum class Operation { projections, attention, softmax, gelu, layerNorm, convolutions, widening, crossKeysValues };
constexpr std::size_t kOperations = 8;
const char* operationName(Operation operation);

void setProfiling(bool on);
bool profiling();

// Seconds per operation since the last call, summed over threads; the sums restart at zero.
std::array<double, kOperations> takeProfile();

class ProfileScope {
 public:
  explicit ProfileScope(Operation operation) : operation_(operation), on_(profiling()) {
    if (on_) start_ = std::chrono::steady_clock::now();
  }
  ~ProfileScope();
  ProfileScope(const ProfileScope&) = delete;
  ProfileScope& operator=(const ProfileScope&) = delete;

 private:
  Operation operation_;
  bool on_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace platform::ml::detail
