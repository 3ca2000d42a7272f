#include "egraph/pattern_ast.hpp"

#include <vector>

namespace quorvel::egraph {

std::string render_pattern(const PatternAst& ast) {
  std::string out;
  if (ast.empty()) return out;
  struct Frame {
    Id node;
    std::uint32_t next;
  };
  std::vector<Frame> stack;
  auto write = [&](Id index) {
    const ENodeOrVar& node = ast[index];
    if (node.is_var() || node.node().is_leaf()) {
      out.append(node.node().op().text());
      return;
    }
    out.push_back('(');
    out.append(node.node().op().text());
    stack.push_back(Frame{index, 0});
  };
  write(static_cast<Id>(ast.size() - 1));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto children = ast[frame.node].node().children();
    if (frame.next == children.size()) {
      out.push_back(')');
      stack.pop_back();
      continue;
    }
    out.push_back(' ');
    write(children[frame.next++]);  // may grow the stack; frame is not used after this
  }
  return out;
}

}  // namespace quorvel::egraph
