// The time limit of the render running on this thread. Work that can run long counts down with
// `tick()` (loop iterations, calls, the walks through values that compare or hash them), and every
// `ticksPerLook` ticks the clock is read: past the deadline it throws JinjaError (runtime case).
#pragma once

#include <chrono>
#include <cstdint>

namespace jinja::detail {

struct RenderClock {
  static constexpr std::uint32_t ticksPerLook = 16;
  std::chrono::steady_clock::time_point deadline{};
  std::chrono::milliseconds limit{0};  // zero: no limit
  std::uint32_t ticksLeft = ticksPerLook;
};

inline constinit thread_local RenderClock renderClock{};

[[gnu::noinline]] void lookAtTheClock();

inline void tick() {
  if (--renderClock.ticksLeft == 0) lookAtTheClock();
}

}  // namespace jinja::detail
