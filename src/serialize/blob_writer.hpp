// Writes a store as an IR blob: "QIR1", the u32 node count, one record per
// node in id order, then the output ids. The same store and output list
// always give the same bytes.
#pragma once

#include <cstddef>
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

// A blob bounded before it is written, so that it can be written straight
// into memory the caller provides (the binding writes into a new bytes
// object, with no copy in between). It reads the store's keys in place,
// which never move or change once interned: the store's lock is taken only
// to read the node count and the marks, and nothing is locked while the
// blob is measured or written. Nodes added after the plan was made are not
// in its blob. Measuring throws BlobTooLarge.
class BlobPlan {
 public:
  // Every node of the store as it is now, with its marked outputs.
  explicit BlobPlan(const GraphStore& store);
  // These nodes, with `outputs` written exactly as given (order and repeats
  // kept, ids not checked).
  BlobPlan(NodeList nodes, NodeIds outputs);

  // Graphs of this many nodes or more are not measured exactly.
  static constexpr std::size_t kBoundedNodes = std::size_t{1} << 18;

  // At least the blob's size in bytes. For a graph of kBoundedNodes or
  // more it is read off each key's lengths, which is far quicker than
  // walking every parameter map to measure the blob, and a little more
  // than the blob (three bytes or so a parameter): such a blob's buffer is
  // large, mapped afresh whatever its size, and cutting it to size moves no
  // bytes. A smaller graph's blob is measured, and its bound is its size:
  // its buffer is reused from the heap, where cutting would cost more than
  // measuring.
  bool bounded() const noexcept { return bounded_; }
  std::size_t bound() const noexcept { return bound_; }
  // Writes the blob to out, which has room for bound() bytes; returns its
  // size.
  std::size_t write_to(char* out) const;

 private:
  void measure();

  NodeList nodes_;
  NodeIds outputs_;
  std::size_t bound_ = 0;
  bool bounded_ = false;
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
