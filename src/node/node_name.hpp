// The name of a Source, Op or Reduction node: immutable text in 15 bytes,
// so that a key's one-byte kind and its name share two words. Names of up
// to 14 bytes (nearly all of them) live inside the object, so a key carries
// its name without a heap block, and moving a key copies two words instead
// of calling into the string library. A longer name takes one heap block
// that holds its size before its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "support/short_copy.hpp"
#include "support/swap_bytes.hpp"

namespace quorvel {

class NodeName {
 public:
  NodeName() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
  explicit NodeName(std::string_view text) {
    std::memset(bytes_, 0, sizeof bytes_);
    if (text.size() <= kInline) {
      copy_short(bytes_, text.data(), text.size());
      bytes_[kLast] = static_cast<unsigned char>(text.size());
      return;
    }
    char* block = new char[sizeof(std::size_t) + text.size()];
    const std::size_t size = text.size();
    std::memcpy(block, &size, sizeof size);
    std::memcpy(block + sizeof size, text.data(), size);
    std::memcpy(bytes_, &block, sizeof block);
    bytes_[kLast] = kHeapMark;
  }
  NodeName(const NodeName& other) : NodeName(other.view()) {}
  NodeName(NodeName&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
  }
  NodeName& operator=(NodeName other) noexcept {
    swap_bytes<sizeof bytes_>(bytes_, other.bytes_);
    return *this;
  }
  ~NodeName() {
    if (on_heap()) delete[] block();
  }

  std::string_view view() const noexcept {
    if (on_heap()) {
      const char* b = block();
      std::size_t size;
      std::memcpy(&size, b, sizeof size);
      return std::string_view(b + sizeof size, size);
    }
    return std::string_view(reinterpret_cast<const char*>(bytes_), bytes_[kLast]);
  }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: a name reads as text
  std::size_t size() const noexcept { return view().size(); }
  // Whether the name lives inside the object: its 15 bytes are then a
  // function of the text alone (the text, zero bytes, and its size last).
  bool is_inline() const noexcept { return !on_heap(); }
  bool empty() const noexcept { return size() == 0; }

  friend bool operator==(const NodeName& a, const NodeName& b) noexcept {
    // Inline names keep their unused bytes zero, so equal inline names are
    // equal byte for byte.
    if (!a.on_heap() && !b.on_heap()) return std::memcmp(a.bytes_, b.bytes_, sizeof a.bytes_) == 0;
    return a.view() == b.view();
  }

 private:
  static constexpr std::size_t kLast = 14;
  static constexpr std::size_t kInline = 14;  // the last byte holds the size
  static constexpr unsigned char kHeapMark = 0xFF;

  bool on_heap() const noexcept { return bytes_[kLast] == kHeapMark; }
  char* block() const noexcept {
    char* b;
    std::memcpy(&b, bytes_, sizeof b);
    return b;
  }

  unsigned char bytes_[15];
};

static_assert(sizeof(NodeName) == 15 && alignof(NodeName) == 1);

}  // namespace quorvel
