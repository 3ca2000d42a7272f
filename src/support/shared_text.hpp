// An immutable text whose copies share one buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

// Stage members repeat a handful of op tokens hundreds of thousands of
// times; a SharedText lets every copy of a token point at one buffer instead
// of owning its own heap string. Copying takes a reference (an atomic
// increment, so copies may be used and dropped on any thread) and never the
// bytes.
//
// A text is either owned (a reference-counted buffer made from the bytes
// given) or borrowed (a view of bytes that outlive every SharedText, such as
// the texts of the process-wide symbol table: copying and dropping it costs
// nothing). Both compare, hash and print alike: only the bytes count.
class SharedText {
 public:
  // The empty text; holds no buffer.
  SharedText() noexcept = default;
  // Owned copies of the bytes. (Implicit, as for std::string.)
  SharedText(std::string_view text);  // NOLINT(google-explicit-constructor)
  SharedText(const std::string& text) : SharedText(std::string_view(text)) {}  // NOLINT
  SharedText(const char* text) : SharedText(std::string_view(text)) {}         // NOLINT

  // A view of bytes that stay valid and unchanged for the rest of the
  // process; nothing is copied or counted.
  static SharedText borrowing(std::string_view lifelong) noexcept {
    SharedText t;
    t.data_ = lifelong.data();
    t.size_ = lifelong.size();  // no owner bit: nothing to count
    return t;
  }

  SharedText(const SharedText& other) noexcept : data_(other.data_), size_(other.size_) {
    if (Buffer* owner = owner_of()) owner->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedText(SharedText&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = "";
    other.size_ = 0;
  }
  SharedText& operator=(const SharedText& other) noexcept {
    SharedText copy(other);
    swap(copy);
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    SharedText taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~SharedText() {
    if (Buffer* owner = owner_of()) release(owner);
  }

  void swap(SharedText& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }

  std::string_view view() const noexcept { return {data_, size()}; }
  operator std::string_view() const noexcept { return view(); }  // NOLINT(google-explicit-constructor)
  std::string str() const { return std::string(data_, size()); }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_ & ~kOwned; }
  bool empty() const noexcept { return size() == 0; }

  friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
    return a.size() == b.size() && (a.data_ == b.data_ || a.view() == b.view());
  }
  friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const SharedText& a, const std::string& b) noexcept { return a.view() == b; }
  friend bool operator==(const SharedText& a, const char* b) noexcept { return a.view() == std::string_view(b); }
  friend std::string operator+(std::string a, const SharedText& b) { return a.append(b.view()); }

 private:
  // The bytes follow the header in the same allocation, so an owned text
  // finds its buffer just before its bytes: two words in all, which matters
  // for the hundreds of thousands of stage members a reduction makes.
  struct Buffer {
    std::atomic<std::size_t> refs;
  };
  // The top bit of size_ marks an owned text (sizes never come near it).
  static constexpr std::size_t kOwned = ~(~std::size_t{0} >> 1);

  Buffer* owner_of() const noexcept {
    if ((size_ & kOwned) == 0) return nullptr;
    return reinterpret_cast<Buffer*>(const_cast<char*>(data_) - sizeof(Buffer));
  }
  static void release(Buffer* buffer) noexcept;

  const char* data_ = "";
  std::size_t size_ = 0;
};

}  // namespace quorvel
