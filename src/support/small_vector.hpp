// A vector that keeps its first N elements inside the object.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvel {

// Most e-classes hold one or two nodes and have one or two parents, most
// substitutions bind at most three variables and most stage members read one
// or two values; keeping those elements inline avoids a heap allocation per
// class, match or member. Elements are stored inline while the capacity is N
// and on the heap once it grows beyond.
template <typename T, std::size_t N>
class SmallVector {
  static_assert(N > 0, "SmallVector needs room for at least one inline element");

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() noexcept {}
  SmallVector(std::initializer_list<T> items) { append(items.begin(), items.end()); }
  SmallVector(const SmallVector& other) { append(other.begin(), other.end()); }
  SmallVector(SmallVector&& other) noexcept { take(std::move(other)); }
  ~SmallVector() { release(); }

  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      append(other.begin(), other.end());
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release();
      take(std::move(other));
    }
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  T* data() noexcept { return is_inline() ? inline_data() : heap_; }
  const T* data() const noexcept { return is_inline() ? inline_data() : heap_; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept {
    assert(i < size_ && "SmallVector index in range");
    return data()[i];
  }
  const T& operator[](std::size_t i) const noexcept {
    assert(i < size_ && "SmallVector index in range");
    return data()[i];
  }
  T& front() noexcept {
    assert(size_ != 0 && "SmallVector front of a non-empty vector");
    return data()[0];
  }
  const T& front() const noexcept {
    assert(size_ != 0 && "SmallVector front of a non-empty vector");
    return data()[0];
  }
  T& back() noexcept {
    assert(size_ != 0 && "SmallVector back of a non-empty vector");
    return data()[size_ - 1];
  }
  const T& back() const noexcept {
    assert(size_ != 0 && "SmallVector back of a non-empty vector");
    return data()[size_ - 1];
  }

  void reserve(std::size_t wanted) {
    if (wanted > capacity_) grow_around(wanted, size_, 0, [](T*) {});
  }

  // The growing operations may be handed elements of this very vector
  // (v.push_back(v[0]), v.append(v.begin(), v.end())): when they grow, the
  // new elements are constructed in the new buffer while the old one still
  // holds what the arguments refer to, and the old elements move after.
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      grow_around(next_capacity(size_ + 1), size_, 1,
                  [&](T* slot) { ::new (static_cast<void*>(slot)) T(std::forward<Args>(args)...); });
      return back();
    }
    T* slot = data() + size_;
    ::new (static_cast<void*>(slot)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }

  // Inserts value before pos (begin() <= pos <= end()) and returns where it
  // now is.
  T* insert(const T* pos, const T& value) { return insert_one(pos, value); }
  T* insert(const T* pos, T&& value) { return insert_one(pos, std::move(value)); }

  void pop_back() noexcept {
    assert(size_ != 0 && "SmallVector pop_back of a non-empty vector");
    --size_;
    std::destroy_at(data() + size_);
  }

  // Keeps the first count elements (count <= size()).
  void truncate(std::size_t count) noexcept {
    assert(count <= size_ && "SmallVector truncate to at most its size");
    std::destroy(data() + count, data() + size_);
    size_ = static_cast<std::uint32_t>(count);
  }
  void clear() noexcept { truncate(0); }

  template <typename It>
  void append(It first, It last) {
    const auto extra = static_cast<std::size_t>(std::distance(first, last));
    if (size_ + extra > capacity_) {
      grow_around(std::max(next_capacity(size_ + extra), size_ + extra), size_, extra,
                  [&](T* out) { std::uninitialized_copy(first, last, out); });
      return;
    }
    // Within the capacity the new elements lie past every element the
    // range can name, so appending part of this vector to itself is safe.
    std::uninitialized_copy(first, last, data() + size_);
    size_ += static_cast<std::uint32_t>(extra);
  }

  // Removes the elements from first to the end.
  void erase_to_end(T* first) noexcept {
    assert(first >= data() && first <= end() && "SmallVector erase_to_end within the vector");
    truncate(static_cast<std::size_t>(first - data()));
  }

  // Frees heap storage and returns to the empty inline state.
  void release() noexcept {
    clear();
    if (!is_inline()) {
      std::allocator<T>().deallocate(heap_, capacity_);
      capacity_ = N;
    }
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

  void swap(SmallVector& other) noexcept {
    SmallVector tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

 private:
  bool is_inline() const noexcept { return capacity_ == N; }
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }

  static std::size_t next_capacity(std::size_t needed) {
    return std::max<std::size_t>(needed, std::max<std::size_t>(2 * N, 4));
  }

  // Moves to a buffer of at least wanted elements (more than the capacity)
  // with a gap of count elements at position at, which construct(gap) fills
  // before the old elements move: what it reads from the old buffer is still
  // there. When construct throws, nothing has changed.
  template <typename Construct>
  void grow_around(std::size_t wanted, std::size_t at, std::size_t count, Construct&& construct) {
    std::size_t capacity = std::max<std::size_t>(wanted, static_cast<std::size_t>(capacity_) * 2);
    if (capacity > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    T* fresh = std::allocator<T>().allocate(capacity);
    try {
      construct(fresh + at);
    } catch (...) {
      std::allocator<T>().deallocate(fresh, capacity);
      throw;
    }
    T* old = data();
    for (std::size_t i = 0; i < size_; ++i) {
      ::new (static_cast<void*>(fresh + (i < at ? i : i + count))) T(std::move(old[i]));
      std::destroy_at(old + i);
    }
    if (!is_inline()) std::allocator<T>().deallocate(heap_, capacity_);
    heap_ = fresh;
    capacity_ = static_cast<std::uint32_t>(capacity);
    size_ += static_cast<std::uint32_t>(count);
  }

  template <typename V>
  T* insert_one(const T* pos, V&& value) {
    assert(pos >= data() && pos <= end() && "SmallVector insert within the vector");
    const std::size_t at = static_cast<std::size_t>(pos - data());
    if (at == size_) return &emplace_back(std::forward<V>(value));
    if (size_ == capacity_) {
      grow_around(next_capacity(size_ + 1), at, 1,
                  [&](T* slot) { ::new (static_cast<void*>(slot)) T(std::forward<V>(value)); });
      return data() + at;
    }
    // Shift the tail up by one; a value that lived in it moved with it.
    const T* from = std::addressof(value);
    T* first = data() + at;
    T* last = end();
    const bool inside = !std::less<const T*>()(from, first) && std::less<const T*>()(from, last);
    ::new (static_cast<void*>(last)) T(std::move(last[-1]));
    ++size_;
    std::move_backward(first, last - 1, last);
    if (inside) ++from;
    if constexpr (std::is_lvalue_reference_v<V>) {
      *first = *from;
    } else {
      *first = std::move(*const_cast<T*>(from));  // handed over as T&&: not const
    }
    return first;
  }

  // Moves other's contents into this (empty, inline) vector.
  void take(SmallVector&& other) noexcept {
    if (other.is_inline()) {
      T* from = other.inline_data();
      for (std::uint32_t i = 0; i < other.size_; ++i) {
        ::new (static_cast<void*>(inline_data() + i)) T(std::move(from[i]));
        std::destroy_at(from + i);
      }
      size_ = other.size_;
      capacity_ = N;
    } else {
      heap_ = other.heap_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.capacity_ = N;
    }
    other.size_ = 0;
  }

  union {
    alignas(T) unsigned char inline_[N * sizeof(T)];
    T* heap_;
  };
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
};

}  // namespace quorvel
