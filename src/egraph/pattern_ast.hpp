// The flat pattern expression.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/subst.hpp"
#include "egraph/symbol_lang.hpp"

namespace quorvel::egraph {

// One pattern node: a variable, or an e-node whose children are indices of
// earlier nodes of the same pattern expression.
class ENodeOrVar {
 public:
  static ENodeOrVar variable(Var var) {
    ENodeOrVar node;
    node.is_var_ = true;
    node.node_ = SymbolLang(var);
    return node;
  }
  static ENodeOrVar enode(SymbolLang node) {
    ENodeOrVar result;
    result.node_ = std::move(node);
    return result;
  }

  bool is_var() const noexcept { return is_var_; }
  Var var() const noexcept { return node_.op(); }
  // For an e-node: the operator and child indices. For a variable: the
  // variable as a leaf node.
  const SymbolLang& node() const noexcept { return node_; }

  friend bool operator==(const ENodeOrVar& a, const ENodeOrVar& b) {
    return a.is_var_ == b.is_var_ && a.node_ == b.node_;
  }
  friend bool operator<(const ENodeOrVar& a, const ENodeOrVar& b) {
    if (a.is_var_ != b.is_var_) return a.is_var_ < b.is_var_;
    return a.node_ < b.node_;
  }

 private:
  bool is_var_ = false;
  SymbolLang node_;
};

// A flat sequence of pattern nodes in which every child index is smaller
// than its parent's index; the last node is the root.
using PatternAst = std::vector<ENodeOrVar>;

// Whether text names a variable: "?" followed by at least one character.
inline bool is_variable_text(std::string_view text) { return text.size() >= 2 && text[0] == '?'; }

// Renders a pattern expression back as s-expression text.
std::string render_pattern(const PatternAst& ast);

}  // namespace quorvel::egraph
