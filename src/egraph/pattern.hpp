// A pattern: its compacted expression and its compiled matching program.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern_ast.hpp"
#include "egraph/pattern_parse_error.hpp"
#include "egraph/program.hpp"
#include "egraph/result.hpp"
#include "egraph/search_matches.hpp"

namespace quorvel::egraph {

class Pattern {
 public:
  // Compacts ast (identical nodes stored once) and compiles it. ast must be
  // non-empty with every child index below its parent's.
  explicit Pattern(const PatternAst& ast);

  // Parses s-expression text, e.g. "(op|add ?a ?b)".
  static Result<Pattern, PatternParseError> parse(std::string_view text);

  const PatternAst& ast() const noexcept { return ast_; }
  const Program& program() const noexcept { return program_; }
  const ENodeOrVar& root() const noexcept { return ast_.back(); }

  // Variables in order of first occurrence, without repeats.
  std::vector<Var> vars() const;

  // Matches in every candidate class, at most limit substitutions in all.
  // Candidates are visited in ascending class id order.
  SearchResults search_with_limit(const EGraph& egraph, std::size_t limit) const;

  // Matches in one class; nothing when the class has none.
  std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass, std::size_t limit) const;

  // Instantiates this pattern for every substitution and merges the result
  // with the matched class (the instantiation is the first argument of the
  // union). Returns the instantiated ids whose union merged two classes.
  std::vector<Id> apply_matches(EGraph& egraph, const SearchResults& matches, GlobalSymbol rule_name) const;

  // Adds the pattern's nodes under subst and returns the root's class.
  // buffer is scratch space reused across calls.
  Id apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& buffer) const;

  std::string to_string() const { return render_pattern(ast_); }

 private:
  // For a one-node pattern: node (a copy of the root) gets the children
  // subst binds; false when a variable is unbound.
  bool instantiate(const Subst& subst, SymbolLang& node) const;
  // For a flat pattern: the matches in the root class `eclass` (id `id`),
  // at most limit, appended to out; their number.
  std::size_t search_flat(const EClass& eclass, Id id, std::size_t limit, std::vector<Subst>& out) const;

  PatternAst ast_;
  Program program_;
  // The first e-node whose children are all variables, or kNoId: the node
  // apply_matches can build ahead of time to prefetch its memo slot.
  Id prefetch_node_ = kNoId;
  // The pattern is one e-node whose children are all variables.
  bool one_node_ = false;
  // ... and they are distinct: the program is one bind of the searched
  // class, which search_flat runs without the machine.
  bool flat_ = false;
};

}  // namespace quorvel::egraph
