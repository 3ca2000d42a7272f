#include "egraph/pattern_parser.hpp"

#include <map>
#include <optional>
#include <vector>

#include "egraph/sexp_reader.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {

std::string PatternParseError::message() const {
  switch (kind) {
    case PatternErrorKind::BadSexp:
      return "could not read the s-expression: " + detail;
    case PatternErrorKind::EmptySexp:
      return "found an empty s-expression";
    case PatternErrorKind::HeadList:
      return "found a list in the head position: " + detail;
    case PatternErrorKind::UnexpectedVar:
      return "found a variable with children: " + detail;
    case PatternErrorKind::BadOp:
      return "could not parse the operator: " + detail;
  }
  return detail;
}

Result<PatternAst, PatternParseError> parse_pattern_ast(std::string_view text) {
  using R = Result<PatternAst, PatternParseError>;
  auto read = read_sexp(text);
  if (!read.ok()) return R::failure(PatternParseError{PatternErrorKind::BadSexp, read.error()});
  const Sexp& sexp = read.value();

  PatternAst ast;
  // Post-order walk: a frame is a list whose elements after the head are
  // being converted; converted holds the finished indices in order.
  struct Frame {
    std::uint32_t list;
    std::uint32_t next;           // next element to convert (1 = first child)
    std::size_t converted_start;  // where this list's children begin in converted
  };
  std::vector<Frame> stack;
  std::vector<std::uint32_t> converted;

  // Converts an atom at once, or opens a list. Returns an error kind when the
  // node is malformed.
  std::optional<PatternParseError> problem;
  auto visit = [&](std::uint32_t index) {
    const Sexp::Node& node = sexp.node(index);
    if (!node.is_list) {
      const std::string_view name = sexp.atom(index);
      const GlobalSymbol symbol(name);
      ast.push_back(is_variable_text(name) ? ENodeOrVar::variable(symbol) : ENodeOrVar::enode(SymbolLang(symbol)));
      converted.push_back(static_cast<std::uint32_t>(ast.size() - 1));
      return;
    }
    if (node.size == 0) {
      problem = PatternParseError{PatternErrorKind::EmptySexp, "()"};
      return;
    }
    const std::uint32_t head = sexp.element(index, 0);
    if (sexp.node(head).is_list) {
      problem = PatternParseError{PatternErrorKind::HeadList, sexp.render(head)};
      return;
    }
    stack.push_back(Frame{index, 1, converted.size()});
  };

  visit(sexp.root());
  while (!problem && !stack.empty()) {
    Frame& frame = stack.back();
    const Sexp::Node& list = sexp.node(frame.list);
    if (frame.next < list.size) {
      const std::uint32_t child = sexp.element(frame.list, frame.next++);
      visit(child);  // may push a frame; frame is not used after this
      continue;
    }
    const std::string_view name = sexp.atom(sexp.element(frame.list, 0));
    const std::size_t start = frame.converted_start;
    const std::size_t arity = converted.size() - start;
    if (is_variable_text(name)) {
      if (arity != 0) {
        problem = PatternParseError{PatternErrorKind::UnexpectedVar, std::string(name)};
        break;
      }
      ast.push_back(ENodeOrVar::variable(GlobalSymbol(name)));
    } else {
      std::vector<Id> children(converted.begin() + static_cast<std::ptrdiff_t>(start), converted.end());
      ast.push_back(ENodeOrVar::enode(SymbolLang(GlobalSymbol(name), children)));
    }
    converted.resize(start);
    converted.push_back(static_cast<std::uint32_t>(ast.size() - 1));
    stack.pop_back();
  }
  if (problem) return R::failure(std::move(*problem));
  return R::success(std::move(ast));
}

PatternAst compact_pattern(const PatternAst& ast) {
  PatternAst out;
  if (ast.empty()) return out;
  std::map<ENodeOrVar, Id> seen;
  std::vector<Id> remap(ast.size());
  for (std::size_t i = 0; i < ast.size(); ++i) {
    ENodeOrVar node = ast[i];
    if (!node.is_var()) {
      SymbolLang enode = node.node();
      for (Id& child : enode.children()) {
        if (child >= i) fail_invariant("pattern children precede their parent", std::to_string(child));
        child = remap[child];
      }
      node = ENodeOrVar::enode(std::move(enode));
    }
    const auto [it, inserted] = seen.emplace(node, static_cast<Id>(out.size()));
    if (inserted) out.push_back(std::move(node));
    remap[i] = it->second;
  }
  // Keep what the root reaches. The root's sub-terms all come before it, so
  // the root ends up last.
  const Id root = remap.back();
  std::vector<std::uint8_t> reached(out.size(), 0);
  reached[root] = 1;
  for (std::size_t i = root + 1; i-- > 0;) {
    if (!reached[i] || out[i].is_var()) continue;
    for (Id child : out[i].node().children()) reached[child] = 1;
  }
  std::vector<Id> position(out.size(), kNoId);
  PatternAst kept;
  for (std::size_t i = 0; i <= root; ++i) {
    if (!reached[i]) continue;
    ENodeOrVar node = std::move(out[i]);
    if (!node.is_var()) {
      SymbolLang enode = node.node();
      for (Id& child : enode.children()) child = position[child];
      node = ENodeOrVar::enode(std::move(enode));
    }
    position[i] = static_cast<Id>(kept.size());
    kept.push_back(std::move(node));
  }
  out.swap(kept);
  return out;
}

}  // namespace quorvel::egraph
