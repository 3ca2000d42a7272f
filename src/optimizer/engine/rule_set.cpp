#include "optimizer/engine/rule_set.hpp"

#include <string>

#include "egraph/pattern.hpp"
#include "node/node_key.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

namespace {

// The token of an op node without inputs: what a rule's operator symbol
// must equal for the rule to match the node.
std::string op_token(std::string_view name, ParamMap params = {}) {
  return NodeKey::op(name, std::move(params), {}).token();
}

std::string scalar_op_token(std::string_view name, double scalar, const char* side) {
  return op_token(name, ParamMap({{"scalar", ParamValue::floating(scalar)}, {"side", ParamValue::text(side)}}));
}

egraph::Pattern parse_builtin(const std::string& text) {
  auto pattern = egraph::Pattern::parse(text);
  if (!pattern.ok()) fail_invariant("built-in rule patterns parse", text);
  return std::move(pattern).value();
}

void add_rule(std::vector<egraph::Rewrite>& rules, const std::string& name, const std::string& searcher,
              const std::string& applier) {
  auto rule = egraph::Rewrite::make(name, parse_builtin(searcher), parse_builtin(applier));
  if (!rule.ok()) fail_invariant("built-in rules bind every applier variable", rule.error());
  rules.push_back(std::move(rule).value());
}

std::vector<egraph::Rewrite> build_rules() {
  std::vector<egraph::Rewrite> rules;
  for (std::string_view name : kCommutativeOperators) {
    const std::string op = op_token(name);
    add_rule(rules, "commute-" + std::string(name), "(" + op + " ?a ?b)", "(" + op + " ?b ?a)");
  }
  int k = 0;
  for (const std::string& token : identity_tokens()) {
    add_rule(rules, "identity-" + std::to_string(k++), "(" + token + " ?x)", "?x");
  }
  return rules;
}

}  // namespace

const std::array<std::string, 4>& identity_tokens() {
  static const std::array<std::string, 4> tokens = {
      scalar_op_token("add", 0.0, "r"),
      scalar_op_token("add", 0.0, "l"),
      scalar_op_token("mul", 1.0, "r"),
      scalar_op_token("mul", 1.0, "l"),
  };
  return tokens;
}

const std::shared_ptr<const std::vector<egraph::Rewrite>>& shared_default_rules() {
  // Rules are immutable and share their compiled patterns, so one parsed
  // set serves every engine of the process.
  static const std::shared_ptr<const std::vector<egraph::Rewrite>> rules =
      std::make_shared<const std::vector<egraph::Rewrite>>(build_rules());
  return rules;
}

std::vector<egraph::Rewrite> default_rules() { return *shared_default_rules(); }

const std::array<BuiltinRule, kBuiltinRuleCount>& builtin_rules() {
  static const std::array<BuiltinRule, kBuiltinRuleCount> rules = [] {
    const std::vector<egraph::Rewrite>& shared = *shared_default_rules();
    if (shared.size() != kBuiltinRuleCount) fail_invariant("the built-in rule list has its length", std::to_string(shared.size()));
    std::array<BuiltinRule, kBuiltinRuleCount> shapes;
    for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
      const egraph::Rewrite& rule = shared[r];
      if (rule.searcher().root().is_var()) fail_invariant("a built-in searcher has an operator at its root", rule.name().str());
      shapes[r] = BuiltinRule{rule.name(), rule.searcher().root().node().op(), !rule.applier().root().is_var()};
    }
    return shapes;
  }();
  return rules;
}

}  // namespace quorvel
