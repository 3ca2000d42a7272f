// Writes a store as an IR blob: "QIR1", the u32 node count, one record per
// node in id order, then the output ids. The same store and output list
// always give the same bytes.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "node/node_id.hpp"
#include "node/node_list.hpp"
#include "param/param_map.hpp"
#include "store/graph_store.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

// Thrown instead of writing a blob that cannot represent the store: a
// string, a list, the node count or a stage reference index past the u32
// fields of the format. Such a blob would be silently corrupt, so nothing
// is written. The store itself is left intact and usable.
class BlobTooLarge : public InternalError {
 public:
  BlobTooLarge();
};

// Memory a blob is written into, which the writer asks to grow as it goes.
class BlobBuffer {
 public:
  // The blob's memory with room for at least `size` bytes from its start,
  // the bytes written so far kept (the start may move). May throw.
  virtual std::span<char> room_for(std::size_t size) = 0;

 protected:
  ~BlobBuffer() = default;
};

// A blob planned before it is written, so that it can be written straight
// into memory the caller provides (the binding writes into a new bytes
// object, with no copy in between). It reads the store's keys in place,
// which never move or change once interned: the store's lock is taken only
// to read the node count and the marks, and nothing is locked while the
// blob is measured or written. Nodes added after the plan was made are not
// in its blob. Planning and writing throw BlobTooLarge.
class BlobPlan {
 public:
  // Every node of the store as it is now, with its marked outputs.
  explicit BlobPlan(const GraphStore& store);
  // These nodes, with `outputs` written exactly as given (order and repeats
  // kept, ids not checked).
  BlobPlan(NodeList nodes, NodeIds outputs);

  // Graphs of this many nodes or more are not measured before they are
  // written.
  static constexpr std::size_t kGrowingNodes = std::size_t{1} << 18;

  // A smaller graph's blob is measured, and its expected size is its size:
  // its buffer comes from the heap, where measuring costs less than cutting
  // it to size. A larger graph's blob is written as it grows: its expected
  // size is extrapolated from the bounds of its first records, each record
  // is checked against the room left by a bound read off its key's lengths
  // (without walking its parameter maps), and the buffer grows when a
  // record's bound does not fit. Measuring first would read every key
  // twice; the buffer of such a blob is mapped afresh, so growing and
  // cutting it remap pages instead of moving bytes.
  bool measured() const noexcept { return !growing_; }
  std::size_t expected_size() const noexcept { return expected_; }
  // Writes the blob into the buffer, asking it for room as it goes; returns
  // the blob's size, which the buffer may exceed.
  std::size_t write(BlobBuffer& buffer) const;

 private:
  void plan();
  std::size_t write_measured(BlobBuffer& buffer) const;
  std::size_t write_growing(BlobBuffer& buffer) const;

  NodeList nodes_;
  NodeIds outputs_;
  std::size_t expected_ = 0;
  bool growing_ = false;
};

// The blob of every node of the store, with `outputs` written exactly as
// given (order and repeats kept, ids not checked).
std::string serialize_with(const GraphStore& store, const NodeIds& outputs);

// The blob of the store with its own marked outputs, read under the same
// lock as its nodes.
std::string serialize_with_marks(const GraphStore& store);

// Appends one parameter list: the entry count, then each entry's name,
// value tag and value, in map order.
void put_params(std::string& out, const ParamMap& params);

}  // namespace quorvel
