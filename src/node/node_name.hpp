// The name of a Source, Op or Reduction node: immutable text in 24 bytes.
// Names of up to 23 bytes (nearly all of them) live inside the object, so a
// key carries its name without a heap block, and moving a key copies three
// words instead of calling into the string library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvel {

class NodeName {
 public:
  NodeName() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
  explicit NodeName(std::string_view text) {
    std::memset(bytes_, 0, sizeof bytes_);
    if (text.size() <= kInline) {
      if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
      bytes_[kLast] = static_cast<unsigned char>(text.size());
      return;
    }
    char* heap = new char[text.size()];
    std::memcpy(heap, text.data(), text.size());
    const Heap h{heap, text.size()};
    std::memcpy(bytes_, &h, sizeof h);
    bytes_[kLast] = kHeapMark;
  }
  NodeName(const NodeName& other) : NodeName(other.view()) {}
  NodeName(NodeName&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
  }
  NodeName& operator=(NodeName other) noexcept {
    unsigned char mine[sizeof bytes_];
    std::memcpy(mine, bytes_, sizeof bytes_);
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memcpy(other.bytes_, mine, sizeof bytes_);
    return *this;
  }
  ~NodeName() {
    if (on_heap()) delete[] heap().data;
  }

  std::string_view view() const noexcept {
    if (on_heap()) {
      const Heap h = heap();
      return std::string_view(h.data, h.size);
    }
    return std::string_view(reinterpret_cast<const char*>(bytes_), bytes_[kLast]);
  }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: a name reads as text
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return size() == 0; }

  friend bool operator==(const NodeName& a, const NodeName& b) noexcept {
    // Inline names keep their unused bytes zero, so equal inline names are
    // equal byte for byte.
    if (!a.on_heap() && !b.on_heap()) return std::memcmp(a.bytes_, b.bytes_, sizeof a.bytes_) == 0;
    return a.view() == b.view();
  }

 private:
  struct Heap {
    char* data;
    std::size_t size;
  };
  static constexpr std::size_t kLast = 23;
  static constexpr std::size_t kInline = 23;  // the last byte holds the size
  static constexpr unsigned char kHeapMark = 0xFF;

  bool on_heap() const noexcept { return bytes_[kLast] == kHeapMark; }
  Heap heap() const noexcept {
    Heap h;
    std::memcpy(&h, bytes_, sizeof h);
    return h;
  }

  unsigned char bytes_[24];
};

static_assert(sizeof(NodeName) == 24);

}  // namespace quorvel
