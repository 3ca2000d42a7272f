#include "optimizer/engine/rule_set.hpp"

#include <string>

#include "egraph/pattern.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

namespace {

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
    const std::string op = "op|" + std::string(name);
    add_rule(rules, "commute-" + std::string(name), "(" + op + " ?a ?b)", "(" + op + " ?b ?a)");
  }
  int k = 0;
  for (std::string_view token : kIdentityTokens) {
    add_rule(rules, "identity-" + std::to_string(k++), "(" + std::string(token) + " ?x)", "?x");
  }
  return rules;
}

}  // namespace

std::vector<egraph::Rewrite> default_rules() {
  // Rules are immutable and share their compiled patterns, so one parsed
  // set serves every engine of the process.
  static const std::vector<egraph::Rewrite> rules = build_rules();
  return rules;
}

}  // namespace quorvel
