// Rebuilds a store from an IR blob. Record j becomes node j (unless the
// blob holds equal records, which interning merges), and the listed outputs
// are marked in order, later repeats dropped. Bytes after the output list
// are ignored.
#pragma once

#include <memory>
#include <string_view>

#include "serialize/decode_error.hpp"
#include "store/graph_store.hpp"
#include "support/outcome.hpp"

namespace quorvel {

// The new store, or the first error met reading from left to right; a
// partly built store is discarded, as it is when the thread's cancellation
// check stops the reading (Cancelled).
Outcome<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes);

}  // namespace quorvel
