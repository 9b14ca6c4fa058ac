// Time per operation of the kernels, for benchmarks: while collection is on, each scope adds the
// processor time its thread spent in it (time the thread lost to other programs is not counted), so
// an operation's figure is summed over the pool's threads. Off (the default) a scope costs one
// relaxed load. Thread-safe.
//   setProfiling(true); encoder->prediction(...); const auto figures = takeProfile();
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform::ml::detail {

// The encoder's operations, then the decoder's cross-attention keys and values (timed whole by the
// clock on the wall, on the thread that asks for them).
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
    if (on_) start_ = now(operation);
  }
  ~ProfileScope();
  ProfileScope(const ProfileScope&) = delete;
  ProfileScope& operator=(const ProfileScope&) = delete;

 private:
  static std::int64_t now(Operation operation);  // nanoseconds

  Operation operation_;
  bool on_;
  std::int64_t start_ = 0;
};

}  // namespace platform::ml::detail
