// The ordered input ids of a node. Most nodes have one to three inputs, so
// up to three ids live inside the object; longer lists take one exact-size heap
// block. Immutable once built.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

#include "node/node_id.hpp"

namespace quorvel {

class NodeInputs {
 public:
  static constexpr std::size_t kInline = 3;

  NodeInputs() noexcept : size_(0) {}
  NodeInputs(std::span<const NodeId> ids) { assign(ids.data(), ids.size()); }  // NOLINT: implicit by design
  NodeInputs(const NodeIds& ids) { assign(ids.data(), ids.size()); }           // NOLINT
  NodeInputs(std::initializer_list<NodeId> ids) { assign(ids.begin(), ids.size()); }
  NodeInputs(const NodeInputs& other) { assign(other.data(), other.size_); }
  NodeInputs(NodeInputs&& other) noexcept : size_(other.size_) {
    std::memcpy(&storage_, &other.storage_, sizeof storage_);
    other.size_ = 0;
  }
  NodeInputs& operator=(NodeInputs other) noexcept {
    swap(other);
    return *this;
  }
  ~NodeInputs() {
    if (size_ > kInline) delete[] storage_.heap;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const NodeId* data() const noexcept { return size_ > kInline ? storage_.heap : storage_.inline_ids; }
  const NodeId* begin() const noexcept { return data(); }
  const NodeId* end() const noexcept { return data() + size_; }
  NodeId operator[](std::size_t i) const noexcept { return data()[i]; }
  operator std::span<const NodeId>() const noexcept { return {data(), size_}; }  // NOLINT
  NodeIds to_vector() const { return NodeIds(begin(), end()); }

  friend bool operator==(const NodeInputs& a, const NodeInputs& b) noexcept {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }
  friend bool operator==(const NodeInputs& a, const NodeIds& b) noexcept {
    return a.size_ == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }

  void swap(NodeInputs& other) noexcept {
    std::swap(size_, other.size_);
    std::swap(storage_, other.storage_);
  }

 private:
  void assign(const NodeId* ids, std::size_t n) {
    if (n > kInline) {
      storage_.heap = new NodeId[n];
      std::memcpy(storage_.heap, ids, n * sizeof(NodeId));
    } else if (n > 0) {
      std::memcpy(storage_.inline_ids, ids, n * sizeof(NodeId));
    }
    size_ = n;
  }

  union Storage {
    NodeId inline_ids[kInline];
    NodeId* heap;
  } storage_;
  std::size_t size_;
};

}  // namespace quorvel
