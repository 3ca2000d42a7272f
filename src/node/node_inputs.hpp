// The ordered input ids of a node, in three words. Most nodes have one to
// three inputs, so up to three ids live inside the object, its unused words
// holding kNoNode; longer lists, and the rare list holding one of the two
// largest ids (which no store hands out, but a caller may pass), take one
// exact-size heap block, and the words then hold its address, its length
// and a mark. Immutable once built.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

#include "node/node_id.hpp"
#include "support/swap_bytes.hpp"

namespace quorvel {

class NodeInputs {
 public:
  static constexpr std::size_t kInline = 3;

  NodeInputs() noexcept : words_{kNoNode, kNoNode, kNoNode} {}
  NodeInputs(std::span<const NodeId> ids) { assign(ids.data(), ids.size()); }  // NOLINT: implicit by design
  NodeInputs(const NodeIds& ids) { assign(ids.data(), ids.size()); }           // NOLINT
  NodeInputs(std::initializer_list<NodeId> ids) { assign(ids.begin(), ids.size()); }
  NodeInputs(const NodeInputs& other) { assign(other.data(), other.size()); }
  // A list of up to three ids, each below kNoNode - 1, given as the three
  // words it is kept in (the ids, then kNoNode): built without a look.
  static NodeInputs of_inline_words(NodeId a, NodeId b, NodeId c) noexcept {
    NodeInputs list;
    list.words_[0] = a;
    list.words_[1] = b;
    list.words_[2] = c;
    return list;
  }
  NodeInputs(NodeInputs&& other) noexcept {
    std::memcpy(words_, other.words_, sizeof words_);
    other.words_[0] = other.words_[1] = other.words_[2] = kNoNode;
  }
  NodeInputs& operator=(NodeInputs other) noexcept {
    swap(other);
    return *this;
  }
  ~NodeInputs() {
    if (on_heap()) delete[] heap();
  }

  std::size_t size() const noexcept {
    if (on_heap()) return static_cast<std::size_t>(words_[1]);
    return words_[2] != kNoNode ? 3 : words_[1] != kNoNode ? 2 : words_[0] != kNoNode ? 1 : 0;
  }
  bool empty() const noexcept { return words_[0] == kNoNode; }
  // Whether the ids live inside the object: its three words are then a
  // function of the list alone (the ids, then kNoNode).
  bool is_inline() const noexcept { return !on_heap(); }
  const NodeId* data() const noexcept { return on_heap() ? heap() : words_; }
  const NodeId* begin() const noexcept { return data(); }
  const NodeId* end() const noexcept { return data() + size(); }
  NodeId operator[](std::size_t i) const noexcept { return data()[i]; }
  operator std::span<const NodeId>() const noexcept { return {data(), size()}; }  // NOLINT
  NodeIds to_vector() const { return NodeIds(begin(), end()); }

  friend bool operator==(const NodeInputs& a, const NodeInputs& b) noexcept {
    // Inline lists fill their unused words alike, so they are equal word
    // for word; a heap list never equals an inline one (it is longer, or
    // holds an id an inline list cannot).
    if (!a.on_heap() && !b.on_heap()) return std::memcmp(a.words_, b.words_, sizeof a.words_) == 0;
    if (a.on_heap() != b.on_heap()) return false;
    return a.words_[1] == b.words_[1] && std::equal(a.heap(), a.heap() + a.words_[1], b.heap());
  }
  friend bool operator==(const NodeInputs& a, const NodeIds& b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }

  void swap(NodeInputs& other) noexcept { swap_bytes<sizeof words_>(words_, other.words_); }

 private:
  // words_[2] of a heap list. kNoNode and this mark are the two ids an
  // inline list cannot hold.
  static constexpr NodeId kHeapMark = kNoNode - 1;

  bool on_heap() const noexcept { return words_[2] == kHeapMark; }
  NodeId* heap() const noexcept {
    NodeId* p;
    std::memcpy(&p, &words_[0], sizeof p);
    return p;
  }

  void assign(const NodeId* ids, std::size_t n) {
    const bool fits = n <= kInline && std::all_of(ids, ids + n, [](NodeId id) { return id < kHeapMark; });
    if (fits) {
      // Word by word: a call to memcpy for a length known only here cost
      // more than the copy.
      words_[0] = n > 0 ? ids[0] : kNoNode;
      words_[1] = n > 1 ? ids[1] : kNoNode;
      words_[2] = n > 2 ? ids[2] : kNoNode;
      return;
    }
    NodeId* block = new NodeId[n];
    if (n > 0) std::memcpy(block, ids, n * sizeof(NodeId));
    static_assert(sizeof block <= sizeof(NodeId));
    words_[0] = 0;
    std::memcpy(&words_[0], &block, sizeof block);
    words_[1] = n;
    words_[2] = kHeapMark;
  }

  NodeId words_[3];
};

static_assert(sizeof(NodeInputs) == 24);

}  // namespace quorvel
