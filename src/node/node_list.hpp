// A read-only, random-access list of node keys in id order that does not
// own them: either a contiguous vector or the fixed-size chunks of a
// store's arena. Reductions read a store through one of these instead of
// copying every key; the keys it names must outlive it and not change.
#pragma once

#include <cstddef>
#include <vector>

#include "node/node_key.hpp"

namespace quorvel {

class NodeList {
 public:
  NodeList() = default;
  // The whole vector, as one chunk.
  NodeList(const std::vector<NodeKey>& nodes)  // NOLINT: implicit by design
      : chunks_{nodes.data()}, shift_(kWholeShift), mask_(~std::size_t{0}), size_(nodes.size()) {}
  // size keys held in chunks of 2^chunk_bits consecutive keys.
  NodeList(std::vector<const NodeKey*> chunks, std::size_t chunk_bits, std::size_t size)
      : chunks_(std::move(chunks)), shift_(chunk_bits), mask_((std::size_t{1} << chunk_bits) - 1), size_(size) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const NodeKey& operator[](std::size_t i) const noexcept { return chunks_[i >> shift_][i & mask_]; }

 private:
  // A shift that sends every index to chunk 0.
  static constexpr std::size_t kWholeShift = sizeof(std::size_t) * 8 - 1;

  std::vector<const NodeKey*> chunks_;
  std::size_t shift_ = kWholeShift;
  std::size_t mask_ = ~std::size_t{0};
  std::size_t size_ = 0;
};

}  // namespace quorvel
