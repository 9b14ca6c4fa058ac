// Storage for weights and large intermediate results. Elements are left uninitialised until
// written, so a buffer is touched once, by whoever fills it. Blocks of 1 MB and more are mapped on
// their own in transparent huge pages where the system allows: a first touch then faults in 2 MB
// at a time instead of 4 KB, which matters for the hundreds of megabytes a model reads while loading
// and an encoder pass writes.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml::detail {

void* allocateLarge(std::size_t bytes);
void releaseLarge(void* p, std::size_t bytes);

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(allocateLarge(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { releaseLarge(p, n * sizeof(T)); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

using HalfWeights = std::vector<Float16, LargeAllocator<Float16>>;
using FloatBuffer = std::vector<float, LargeAllocator<float>>;

}  // namespace platform::ml::detail
