// Reads one node record (tag and fields) into a NodeKey.
#pragma once

#include "node/node_key.hpp"
#include "serialize/byte_reader.hpp"

namespace quorvel {

// `index` is the record's position in the blob: every input id must be
// lower than it. Stage Member(j) references must be lower than the
// position of the member that holds them; Input(k) indices are not
// checked. Member tokens are taken as any UTF-8 text.
Outcome<NodeKey, DecodeError> read_node_record(Reader& reader, NodeId index);

}  // namespace quorvel
