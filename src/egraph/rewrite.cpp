#include "egraph/rewrite.hpp"

#include <algorithm>

namespace quorvel::egraph {

Result<Rewrite, std::string> Rewrite::make(GlobalSymbol name, std::shared_ptr<const Pattern> searcher,
                                           std::shared_ptr<const Pattern> applier) {
  using R = Result<Rewrite, std::string>;
  const std::vector<Var> bound = searcher->vars();
  for (Var var : applier->vars()) {
    if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
      return R::failure("Rewrite " + name.str() + " refers to unbound var " + var.str());
    }
  }
  return R::success(Rewrite(name, std::move(searcher), std::move(applier)));
}

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier) {
  return make(GlobalSymbol(name), std::make_shared<const Pattern>(std::move(searcher)),
              std::make_shared<const Pattern>(std::move(applier)));
}

std::vector<GlobalSymbol> root_operators(std::span<const Rewrite> rules) {
  std::vector<GlobalSymbol> ops;
  for (const Rewrite& rule : rules) {
    if (!rule.searcher().root().is_var()) ops.push_back(rule.searcher().root().node().op());
  }
  return ops;
}

}  // namespace quorvel::egraph
