#include "egraph/program_compiler.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

struct NodeFacts {
  std::vector<Var> free_vars;  // sorted by handle, no repeats
  std::size_t size = 0;        // e-nodes in the sub-pattern
};

std::vector<NodeFacts> node_facts(const PatternAst& ast) {
  std::vector<NodeFacts> facts(ast.size());
  for (std::size_t i = 0; i < ast.size(); ++i) {
    const ENodeOrVar& node = ast[i];
    if (node.is_var()) {
      facts[i].free_vars.push_back(node.var());
      continue;
    }
    facts[i].size = 1;
    for (Id child : node.node().children()) {
      if (child >= i) fail_invariant("pattern children precede their parent", std::to_string(child));
      facts[i].size += facts[child].size;
      std::vector<Var> merged;
      std::set_union(facts[i].free_vars.begin(), facts[i].free_vars.end(), facts[child].free_vars.begin(),
                     facts[child].free_vars.end(), std::back_inserter(merged));
      facts[i].free_vars.swap(merged);
    }
  }
  return facts;
}

class Compiler {
 public:
  explicit Compiler(const PatternAst& ast) : ast_(ast), facts_(node_facts(ast)) {}

  Program compile() {
    if (ast_.empty()) fail_invariant("a compiled pattern has a root", "empty pattern");
    queue_.push_back(Item{static_cast<Id>(ast_.size() - 1), 0});
    next_register_ = 1;
    while (!queue_.empty()) {
      const std::size_t chosen = choose();
      const Item item = queue_[chosen];
      queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(chosen));
      step(item);
    }
    return std::move(program_);
  }

 private:
  struct Item {
    Id node;
    Reg reg;
  };

  const Reg* register_of(Var var) const {
    for (const auto& [bound, reg] : program_.subst_layout) {
      if (bound == var) return &reg;
    }
    return nullptr;
  }

  std::size_t unbound_count(Id node) const {
    std::size_t count = 0;
    for (Var var : facts_[node].free_vars) count += register_of(var) == nullptr ? 1 : 0;
    return count;
  }

  std::size_t choose() const {
    std::size_t best = 0;
    std::tuple<bool, std::size_t, long long> best_key{};
    for (std::size_t k = 0; k < queue_.size(); ++k) {
      const Id node = queue_[k].node;
      const std::size_t unbound = unbound_count(node);
      const std::tuple<bool, std::size_t, long long> key{unbound == 0, unbound,
                                                          -static_cast<long long>(facts_[node].size)};
      if (k == 0 || key > best_key) {
        best = k;
        best_key = key;
      }
    }
    return best;
  }

  void step(const Item& item) {
    const ENodeOrVar& node = ast_[item.node];
    if (node.is_var()) {
      if (const Reg* seen = register_of(node.var())) {
        program_.instructions.push_back(Instruction::compare(item.reg, *seen));
      } else {
        program_.subst_layout.emplace_back(node.var(), item.reg);
      }
      return;
    }
    const SymbolLang& enode = node.node();
    if (!enode.is_leaf() && unbound_count(item.node) == 0) {
      program_.instructions.push_back(Instruction::lookup(ground_term(item.node), item.reg));
      return;
    }
    const Reg out = next_register_;
    program_.instructions.push_back(Instruction::bind(enode.op(), enode.arity(), item.reg, out));
    next_register_ += enode.arity();
    std::uint32_t k = 0;
    for (Id child : enode.children()) queue_.push_back(Item{child, out + k++});
  }

  // The sub-pattern at root as a Lookup term: its nodes in ascending pattern
  // order (children first), variables replaced by their registers.
  std::vector<ENodeOrReg> ground_term(Id root) const {
    std::vector<std::uint8_t> inside(root + 1, 0);
    inside[root] = 1;
    for (std::size_t i = root + 1; i-- > 0;) {
      if (!inside[i] || ast_[i].is_var()) continue;
      for (Id child : ast_[i].node().children()) inside[child] = 1;
    }
    std::vector<Id> position(root + 1, kNoId);
    std::vector<ENodeOrReg> term;
    for (std::size_t i = 0; i <= root; ++i) {
      if (!inside[i]) continue;
      position[i] = static_cast<Id>(term.size());
      if (ast_[i].is_var()) {
        term.push_back(ENodeOrReg::from_reg(*register_of(ast_[i].var())));
      } else {
        SymbolLang enode = ast_[i].node();
        for (Id& child : enode.children()) child = position[child];
        term.push_back(ENodeOrReg::from_node(std::move(enode)));
      }
    }
    return term;
  }

  const PatternAst& ast_;
  std::vector<NodeFacts> facts_;
  std::vector<Item> queue_;
  Program program_;
  Reg next_register_ = 0;
};

}  // namespace

Program compile_pattern(const PatternAst& ast) { return Compiler(ast).compile(); }

}  // namespace quorvel::egraph
