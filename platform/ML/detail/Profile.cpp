#include "platform/ML/detail/Profile.h"

#include <time.h>

#include <atomic>

namespace platform::ml::detail {

namespace {

std::atomic<bool> enabled{false};
std::array<std::atomic<std::int64_t>, kOperations> nanoseconds{};

}  // namespace

const char* operationName(Operation operation) {
  switch (operation) {
    case Operation::projections:
      return "projections";
    case Operation::attention:
      return "attention";
    case Operation::softmax:
      return "softmax";
    case Operation::gelu:
      return "GELU";
    case Operation::layerNorm:
      return "layer norm";
    case Operation::convolutions:
      return "convolutions";
    case Operation::widening:
      return "half to float";
    case Operation::crossKeysValues:
      return "cross-attention keys";
  }
  return "?";
}

void setProfiling(bool on) { enabled.store(on, std::memory_order_relaxed); }

bool profiling() { return enabled.load(std::memory_order_relaxed); }

std::array<double, kOperations> takeProfile() {
  std::array<double, kOperations> seconds{};
  for (std::size_t i = 0; i < kOperations; ++i) seconds[i] = static_cast<double>(nanoseconds[i].exchange(0)) * 1e-9;
  return seconds;
}

std::int64_t ProfileScope::now(Operation operation) {
  timespec t{};
  clock_gettime(operation == Operation::crossKeysValues ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

ProfileScope::~ProfileScope() {
  if (!on_) return;
  nanoseconds[static_cast<std::size_t>(operation_)].fetch_add(now(operation_) - start_, std::memory_order_relaxed);
}

}  // namespace platform::ml::detail
