// One equivalence class of the e-graph.
#pragma once

#include <span>

#include "egraph/id.hpp"
#include "egraph/symbol_lang.hpp"
#include "support/small_vector.hpp"

namespace quorvel::egraph {

// Classes carry no analysis data.
//
// `parents` lists every e-node that has this class among its children, once
// per occurrence (a node using the class twice is listed twice). An entry is
// the id of the class the parent node created when it was added; since every
// added node creates exactly one class, that id names both halves of the
// pair: the node as it was added (EGraph::added_node) and its class.
struct EClass {
  // The root id of this class, or kNoId once the class was merged away.
  Id id = kNoId;
  // Canonical, sorted and free of duplicates right after a rebuild.
  SmallVector<SymbolLang, 1> nodes;
  SmallVector<Id, 2> parents;

  bool is_live() const noexcept { return id != kNoId; }
  std::size_t size() const noexcept { return nodes.size(); }
};

}  // namespace quorvel::egraph
