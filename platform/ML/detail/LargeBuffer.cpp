#include "platform/ML/detail/LargeBuffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace platform::ml::detail {

namespace {

constexpr std::size_t kLarge = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mappedSize(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocateLarge(std::size_t bytes) {
  if (bytes < kLarge) {
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
  }
  // Map a huge page more than needed, then trim both ends so the block starts on a huge page.
  const std::size_t size = mappedSize(bytes);
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  if (const std::size_t tail = start + size + kHugePage - (aligned + size)) munmap(reinterpret_cast<void*>(aligned + size), tail);
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void releaseLarge(void* p, std::size_t bytes) {
  if (!p) return;
  if (bytes < kLarge) return std::free(p);
  munmap(p, mappedSize(bytes));
}

}  // namespace platform::ml::detail
