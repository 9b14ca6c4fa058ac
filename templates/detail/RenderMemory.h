// The memory budget of the render running on this thread: the arrays and objects that values hold
// (their element slots, keys and the strings stored in them directly), the strings bound to names,
// the strings of argument lists and literals being built and the rendered text of bodies charge
// their bytes while they live, and a string about to be built must fit beside them. A charge past
// the budget throws JinjaError (runtime case); outside a render nothing is refused. Releases never
// throw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jinja::detail {

struct RenderMemory {
  std::size_t limit = 0;  // bytes; zero: no limit
  std::int64_t used = 0;  // may go below zero for values made before the render
};

inline constinit thread_local RenderMemory renderMemory{};

[[noreturn, gnu::noinline, gnu::cold]] void throwOverMemoryBudget();

inline void chargeMemory(std::size_t bytes) {
  if (renderMemory.limit > 0 && renderMemory.used + static_cast<std::int64_t>(bytes) > static_cast<std::int64_t>(renderMemory.limit))
    throwOverMemoryBudget();
  renderMemory.used += static_cast<std::int64_t>(bytes);
}

inline void releaseMemory(std::size_t bytes) noexcept { renderMemory.used -= static_cast<std::int64_t>(bytes); }

// Throws, charging nothing, when `bytes` more would not fit: called before a string is built.
inline void requireMemory(std::size_t bytes) {
  if (renderMemory.limit > 0 && renderMemory.used + static_cast<std::int64_t>(bytes) > static_cast<std::int64_t>(renderMemory.limit))
    throwOverMemoryBudget();
}

// Bytes charged for as long as the holder lives; a copy charges them again.
class MemoryCharge {
 public:
  explicit MemoryCharge(std::size_t bytes = 0) : bytes_(bytes) { chargeMemory(bytes); }
  MemoryCharge(const MemoryCharge& other) : MemoryCharge(other.bytes_) {}
  MemoryCharge& operator=(const MemoryCharge&) = delete;
  ~MemoryCharge() { releaseMemory(bytes_); }
  // Charges `more` bytes on top; throws, unchanged, past the budget.
  void grow(std::size_t more) {
    chargeMemory(more);
    bytes_ += more;
  }
  void shrink(std::size_t less) noexcept {
    less = less < bytes_ ? less : bytes_;
    releaseMemory(less);
    bytes_ -= less;
  }

 private:
  std::size_t bytes_;
};

}  // namespace jinja::detail
