// Reads one node record (tag and fields) into a NodeKey.
#pragma once

#include <vector>

#include "node/node_key.hpp"
#include "serialize/byte_reader.hpp"

namespace quorvel {

// `index` is the record's position in the blob: every input id must be
// lower than it. Stage Member(j) references must be lower than the
// position of the member that holds them; Input(k) indices are not
// checked. Member tokens are taken as any UTF-8 text.
Outcome<NodeKey, DecodeError> read_node_record(Reader& reader, NodeId index);

// The common record (a Source, Op or Reduction with a short ASCII name, a
// small map in order and up to three inputs) appended to `into`, read in
// one pass; false, with the position back at the record's start, for any
// other, which read_node_record then reads (and reports the first fault of).
bool read_common_record(Reader& reader, NodeId index, std::vector<NodeKey>& into);

}  // namespace quorvel
