#include "store/dot_render.hpp"

#include <cstdint>
#include <vector>

#include "support/cancellation.hpp"

namespace quorvel {

namespace {

// Backslashes doubled first, then double quotes escaped; nothing else.
void append_dot_escaped(std::string& out, const std::string& label) {
  for (char c : label) {
    if (c == '\\') out.append("\\\\");
    else if (c == '"') out.append("\\\"");
    else out.push_back(c);
  }
}

}  // namespace

std::string to_dot(const GraphStore& store) {
  return store.read_locked([](const GraphStore::View& view) {
    std::string out = "digraph quorvel {\n";
    // One flag per node, so that a store with very many marks still
    // renders in linear time.
    std::vector<std::uint8_t> is_output(view.size(), 0);
    for (NodeId output : view.outputs()) is_output[output] = 1;
    CancellationPoller cancellation;
    for (std::size_t i = 0; i < view.size(); ++i) {
      cancellation.tick();
      out.append("  n").append(std::to_string(i)).append(" [label=\"");
      append_dot_escaped(out, view[i].label());
      out.push_back('"');
      if (is_output[i]) out.append(", shape=doublecircle");
      out.append("];\n");
    }
    for (std::size_t i = 0; i < view.size(); ++i) {
      cancellation.tick();
      const std::string target = std::to_string(i);
      for (NodeId input : view[i].inputs()) {
        out.append("  n").append(std::to_string(input)).append(" -> n").append(target).append(";\n");
      }
    }
    out.append("}\n");
    return out;
  });
}

}  // namespace quorvel
