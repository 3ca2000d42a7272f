// Graphviz DOT rendering of a whole store.
#pragma once

#include <string>

#include "store/graph_store.hpp"

namespace quorvel {

// "digraph quorvel {", one line per node labelled with its label (outputs
// as double circles), one line per input edge, "}". Rendered under one
// acquisition of the store's lock, polling the thread's cancellation check
// (Cancelled drops the text).
std::string to_dot(const GraphStore& store);

}  // namespace quorvel
