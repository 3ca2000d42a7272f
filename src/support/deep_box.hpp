// A heap-held value with value semantics: copying copies the value. Keeps
// rarely used, large fields out of a frequently copied record.
#pragma once

#include <memory>

namespace quorvel {

template <class T>
class DeepBox {
 public:
  DeepBox() = default;
  explicit DeepBox(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  DeepBox(const DeepBox& other) : ptr_(other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr) {}
  DeepBox(DeepBox&&) noexcept = default;
  DeepBox& operator=(const DeepBox& other) {
    if (this != &other) ptr_ = other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr;
    return *this;
  }
  DeepBox& operator=(DeepBox&&) noexcept = default;

  bool has_value() const noexcept { return ptr_ != nullptr; }
  const T& operator*() const { return *ptr_; }
  const T* operator->() const { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

}  // namespace quorvel
