// The node map of a derived store as bytes. The IR blob leaves the node map
// out (it describes the store a derivation started from, not the store
// itself), so pickling carries it beside the blob in this record:
//
//   "QNM1", a u32 entry count, then per entry two u32 fields: the landing
//   node's id + 1 (0 for a dropped node) and the member index + 1 (0 when
//   the node landed on a whole node).
//
// The same map always gives the same bytes.
#pragma once

#include <string>
#include <string_view>

#include "store/graph_store.hpp"
#include "node/node_map_entry.hpp"
#include "support/outcome.hpp"

namespace quorvel {

// Why a node map record was refused: the text callers see.
struct NodeMapRecordError {
  std::string message;
};

// The record of `map`. Throws BlobTooLarge when an id, a member index or
// the entry count does not fit its u32 field (a store whose blob could not
// be written either).
std::string encode_node_map(const NodeMap& map);

// The map a record holds, checked against the store it is to describe:
// every landing names a node of `store`, and a member index names a member
// of a stage node. The first problem from left to right is reported.
Outcome<NodeMap, NodeMapRecordError> decode_node_map(std::string_view bytes, const GraphStore& store);

}  // namespace quorvel
