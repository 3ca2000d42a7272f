// The text under which the pipeline knows a node's operator: its engine
// symbol and its key in the prototypes table.
#pragma once

#include <string>

#include "node/node_key.hpp"

namespace quorvel {

// The node's token, except for the two kinds whose token does not hold
// their whole content: a stage's token records only its member count and
// an external's token writes the descriptor strings unescaped (so
// preprocessing_ref "-" and none, or kind "a|b" with hash "c" and kind "a"
// with hash "b|c", share one). Their key is "stage#" or "ext#" followed by a
// length-prefixed encoding of the whole content (for an external, its
// token and every descriptor field), so two such nodes share a key exactly
// when they are equal apart from their inputs. No key of a non-op node
// begins with "op|".
std::string engine_key(const NodeKey& key);
// Appends engine_key(key) to out.
void append_engine_key(const NodeKey& key, std::string& out);
// Appends the head of engine_key(key) (SymbolTable::head_of: its kind and
// name, for a source, op or reduction node) and returns true; returns false
// and appends nothing for a kind whose head is not written apart.
bool append_engine_key_head(const NodeKey& key, std::string& out);

}  // namespace quorvel
