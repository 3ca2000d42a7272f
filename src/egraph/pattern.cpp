#include "egraph/pattern.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "egraph/machine.hpp"
#include "egraph/pattern_parser.hpp"
#include "egraph/program_compiler.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/lookahead.hpp"

namespace quorvel::egraph {

namespace {

// How far ahead of the current candidate class or substitution the loops
// below prefetch.
constexpr std::size_t kPrefetchDistance = 16;

}  // namespace

Pattern::Pattern(const PatternAst& ast) : ast_(compact_pattern(ast)), program_(compile_pattern(ast_)) {
  if (!root().is_var()) {
    one_node_ = true;
    for (Id child : root().node().children()) one_node_ = one_node_ && ast_[child].is_var();
  }
  // One operator over distinct variables compiles to a single bind of the
  // class itself.
  const std::vector<Instruction>& code = program_.instructions;
  flat_ = code.size() == 1 && code[0].kind == Instruction::Kind::Bind && code[0].i == 0 && code[0].out == 1;
  for (std::size_t i = 0; i < ast_.size(); ++i) {
    if (ast_[i].is_var()) continue;
    bool all_vars = true;
    for (Id child : ast_[i].node().children()) all_vars = all_vars && ast_[child].is_var();
    if (all_vars) {
      prefetch_node_ = static_cast<Id>(i);
      break;
    }
  }
}

Result<Pattern, PatternParseError> Pattern::parse(std::string_view text) {
  auto ast = parse_pattern_ast(text);
  if (!ast.ok()) return Result<Pattern, PatternParseError>::failure(ast.error());
  return Result<Pattern, PatternParseError>::success(Pattern(ast.value()));
}

std::vector<Var> Pattern::vars() const {
  std::vector<Var> vars;
  for (const ENodeOrVar& node : ast_) {
    if (node.is_var() && std::find(vars.begin(), vars.end(), node.var()) == vars.end()) vars.push_back(node.var());
  }
  return vars;
}

namespace {

// A search runs the matching machine over many classes; its registers and
// choice stack are kept per thread and reused from search to search (their
// sizes are bounded by the largest pattern), so a search allocates only
// for its results. Machine::run starts from cleared buffers and does not
// call back into a search.
Machine& thread_machine() {
  thread_local Machine machine;
  return machine;
}

}  // namespace

std::size_t Pattern::search_flat(const EClass& eclass, Id id, std::size_t limit, std::vector<Subst>& out) const {
  // What the machine does for a single bind, without its registers and
  // choice points: the class's nodes are sorted by operator first, so the
  // smaller ones are skipped and the first larger one ends the scan; each
  // node of the operator and arity gives one substitution, laid out as the
  // machine would (register 0 the class, then the node's children).
  const Instruction& bind = program_.instructions[0];
  std::size_t found = 0;
  for (const SymbolLang& node : eclass.nodes) {
    if (node.op() < bind.op) continue;
    if (node.op() != bind.op) break;
    if (node.arity() != bind.arity) continue;
    const std::span<const Id> children = node.children();
    Subst& subst = out.emplace_back();
    for (const auto& [var, reg] : program_.subst_layout) subst.insert(var, reg == 0 ? id : children[reg - 1]);
    if (++found == limit) break;
  }
  return found;
}

SearchResults Pattern::search_with_limit(const EGraph& egraph, std::size_t limit) const {
  if (!egraph.is_clean()) fail_invariant("Tried to search a dirty e-graph!", "the e-graph has not been rebuilt");
  SearchResults results;
  if (limit == 0) return results;
  Machine& machine = thread_machine();
  std::size_t remaining = limit;
  CancellationPoller cancellation;
  auto visit = [&](Id id) {
    cancellation.tick();
    const EClass* eclass = egraph.class_if_root(id);
    if (eclass == nullptr) return;
    const std::size_t found = flat_ ? search_flat(*eclass, id, remaining, results.substs())
                                    : machine.run(egraph, program_, id, remaining, results.substs());
    if (found != 0) {
      remaining = limit - results.total_substs();
      results.close_class(id);
    }
  };
  if (root().is_var()) {
    for (Id id = 0; id < egraph.number_of_ids() && remaining != 0; ++id) visit(id);
  } else {
    // Only classes holding the root's operator can match; the index lists
    // them in ascending id order.
    const std::span<const Id> candidates = egraph.classes_with_operator(root().node().op());
    const bool look_ahead = worth_looking_ahead(egraph.number_of_ids());
    for (std::size_t k = 0; k < candidates.size() && remaining != 0; ++k) {
      if (look_ahead) {
        if (k + 2 * kPrefetchDistance < candidates.size()) egraph.prefetch_class(candidates[k + 2 * kPrefetchDistance]);
        if (k + kPrefetchDistance < candidates.size()) egraph.prefetch_class_nodes(candidates[k + kPrefetchDistance]);
      }
      visit(candidates[k]);
    }
  }
  return results;
}

std::optional<SearchMatches> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                               std::size_t limit) const {
  Machine& machine = thread_machine();
  SearchMatches matches;
  matches.eclass = eclass;
  if (machine.run(egraph, program_, eclass, limit, matches.substs) == 0) return std::nullopt;
  return matches;
}

Id Pattern::apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& buffer) const {
  buffer.resize(ast_.size());
  for (std::size_t i = 0; i < ast_.size(); ++i) {
    const ENodeOrVar& node = ast_[i];
    if (node.is_var()) {
      const std::optional<Id> bound = subst.get(node.var());
      if (!bound) fail_invariant("every applier variable is bound by the match", std::string(node.var().text()));
      buffer[i] = *bound;
      continue;
    }
    SymbolLang enode = node.node();
    for (Id& child : enode.children()) child = buffer[child];
    buffer[i] = egraph.add(std::move(enode));
  }
  return buffer.back();
}

bool Pattern::instantiate(const Subst& subst, SymbolLang& node) const {
  const auto vars = root().node().children();
  const auto children = node.children();
  for (std::size_t i = 0; i < vars.size(); ++i) {
    const std::optional<Id> bound = subst.get(ast_[vars[i]].var());
    if (!bound) return false;
    children[i] = *bound;
  }
  return true;
}

// The rule name would only matter for explanations, which this e-graph does
// not keep.
std::vector<Id> Pattern::apply_matches(EGraph& egraph, const SearchResults& matches, GlobalSymbol) const {
  std::vector<Id> merged;
  std::vector<Id> buffer;
  buffer.reserve(ast_.size());
  // Substitutions are applied in order; the one kPrefetchDistance ahead has
  // its first all-variable node built and its memo slot prefetched, since
  // the memo lookup is where an application waits for memory.
  const std::span<const Subst> flat = matches.all_substs();
  std::size_t ahead = 0;
  std::size_t ahead_class = 0;   // the match holding substitution `ahead`
  std::size_t ahead_class_end = 0;
  auto prefetch_ahead = [&](std::size_t index) {
    if (index >= flat.size()) return;
    while (index >= ahead_class_end) {
      ahead_class_end += matches[ahead_class++].substs.size();
      egraph.prefetch_union(matches[ahead_class - 1].eclass);
    }
    if (prefetch_node_ == kNoId || ast_[prefetch_node_].node().arity() > 2) return;
    SymbolLang probe = ast_[prefetch_node_].node();
    for (Id& child : probe.children()) {
      const std::optional<Id> bound = flat[index].get(ast_[child].var());
      child = bound ? *bound : 0;
    }
    egraph.prefetch_add(probe);
  };
  const bool look_ahead = worth_looking_ahead(egraph.number_of_ids());
  if (look_ahead) {
    for (; ahead < kPrefetchDistance; ++ahead) prefetch_ahead(ahead);
  }
  // A one-node instantiation that the matched class already holds is what
  // the memo would find, and its union would merge nothing: while no union
  // has merged two classes since the last rebuild, node lists and
  // substitutions are canonical, so the class's own short list answers
  // without the memo's random probe. Rules applied again in later
  // iterations find most of their instantiations this way.
  SymbolLang instance = one_node_ ? root().node() : SymbolLang();
  CancellationPoller cancellation;
  for (std::size_t k = 0; k < matches.size(); ++k) {
    const SearchMatchesRef match = matches[k];
    for (const Subst& subst : match.substs) {
      cancellation.tick();
      if (look_ahead) prefetch_ahead(ahead++);
      if (one_node_ && !egraph.merged_since_rebuild() && instantiate(subst, instance) &&
          egraph.class_holds(match.eclass, instance)) {
        continue;
      }
      const Id id = apply_pat(egraph, subst, buffer);
      if (egraph.union_(id, match.eclass)) merged.push_back(id);
    }
  }
  return merged;
}

}  // namespace quorvel::egraph
