// The time limit of the render running on this thread. Work that can run long counts down with
// `tick()` (loop iterations, calls, the walks through values that compare or hash them, built-ins
// over long texts through countWork), and every
// `ticksPerLook` ticks the clock is read: past the deadline it throws JinjaError (runtime case).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace jinja::detail {

struct RenderClock {
  static constexpr std::uint32_t ticksPerLook = 16;
  static constexpr std::size_t workPerTick = std::size_t{1} << 16;
  std::chrono::steady_clock::time_point deadline{};
  std::chrono::milliseconds limit{0};  // zero: no limit
  std::uint32_t ticksLeft = ticksPerLook;
  std::size_t workLeft = workPerTick;
};

inline constinit thread_local RenderClock renderClock{};

[[gnu::noinline]] void lookAtTheClock();

inline void tick() {
  if (--renderClock.ticksLeft == 0) lookAtTheClock();
}

// Work of built-ins over long texts (bytes scanned, characters walked): one tick per
// `workPerTick` units.
[[gnu::noinline]] void tickForWork(std::size_t units);

inline void countWork(std::size_t units = 1) {
  if (units < renderClock.workLeft) renderClock.workLeft -= units;
  else tickForWork(units);
}

}  // namespace jinja::detail
