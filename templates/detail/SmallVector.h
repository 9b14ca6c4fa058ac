// A vector whose first N elements live inside it: the scopes, argument lists and name lists of a
// render hold a handful of entries, and each would otherwise allocate. Beyond N it moves to the
// heap and grows as std::vector does. Only what those users need: append, index, iterate, clear.
//   SmallVector<int, 4> v; v.push_back(1); v.emplace_back(2); for (int x : v) ...
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace jinja::detail {

template <class T, std::size_t N>
class SmallVector {
  static_assert(N > 0);
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  SmallVector() {}  // the inline storage stays uninitialised
  SmallVector(SmallVector&& other) noexcept { takeFrom(other); }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release();
      takeFrom(other);
    }
    return *this;
  }
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;
  ~SmallVector() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Built before growing: an argument may refer to an element.
      T element(std::forward<Args>(args)...);
      grow(capacity_ * 2);
      ::new (static_cast<void*>(data_ + size_)) T(std::move(element));
    } else {
      ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    }
    return data_[size_++];
  }
  void push_back(T element) { emplace_back(std::move(element)); }
  void clear() {
    std::destroy(data_, data_ + size_);
    size_ = 0;
  }

 private:
  T* inlineData() { return std::launder(reinterpret_cast<T*>(inline_)); }
  bool onHeap() const { return capacity_ > N; }

  void grow(std::size_t capacity) {
    T* bigger = static_cast<T*>(::operator new(capacity * sizeof(T), std::align_val_t(alignof(T))));
    std::uninitialized_move(data_, data_ + size_, bigger);
    std::destroy(data_, data_ + size_);
    if (onHeap()) ::operator delete(data_, std::align_val_t(alignof(T)));
    data_ = bigger;
    capacity_ = capacity;
  }
  void release() {
    clear();
    if (onHeap()) ::operator delete(data_, std::align_val_t(alignof(T)));
    data_ = inlineData();
    capacity_ = N;
  }
  // Leaves `other` empty and inline.
  void takeFrom(SmallVector& other) {
    if (other.onHeap()) {
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.data_ = other.inlineData();
      other.size_ = 0;
      other.capacity_ = N;
      return;
    }
    data_ = inlineData();
    capacity_ = N;
    std::uninitialized_move(other.data_, other.data_ + other.size_, data_);
    size_ = other.size_;
    other.clear();
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_ = inlineData();
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace jinja::detail
