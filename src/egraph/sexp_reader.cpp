#include "egraph/sexp_reader.hpp"

#include <limits>

namespace quorvel::egraph {

namespace {

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool ends_atom(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '(' || c == ')'; }

}  // namespace

Result<Sexp, std::string> read_sexp(std::string_view text) {
  using R = Result<Sexp, std::string>;
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) return R::failure("input too long");
  Sexp sexp;
  sexp.text_.assign(text);

  // Elements of the lists still open, innermost last; open_starts marks where
  // each open list's elements begin in this stack.
  std::vector<std::uint32_t> open_elements;
  std::vector<std::size_t> open_starts;
  bool have_root = false;
  std::size_t pos = 0;
  const std::size_t n = text.size();

  auto finish = [&](std::uint32_t index) {
    if (open_starts.empty()) {
      sexp.root_ = index;
      have_root = true;
    } else {
      open_elements.push_back(index);
    }
  };

  while (pos < n) {
    const char c = text[pos];
    if (is_separator(c)) {
      ++pos;
      continue;
    }
    if (have_root) return R::failure("unexpected text after the expression at position " + std::to_string(pos));
    if (c == '(') {
      open_starts.push_back(open_elements.size());
      ++pos;
    } else if (c == ')') {
      if (open_starts.empty()) return R::failure("unexpected ')' at position " + std::to_string(pos));
      const std::size_t start = open_starts.back();
      open_starts.pop_back();
      Sexp::Node list;
      list.is_list = true;
      list.begin = static_cast<std::uint32_t>(sexp.items_.size());
      list.size = static_cast<std::uint32_t>(open_elements.size() - start);
      sexp.items_.insert(sexp.items_.end(), open_elements.begin() + static_cast<std::ptrdiff_t>(start),
                         open_elements.end());
      open_elements.resize(start);
      sexp.nodes_.push_back(list);
      ++pos;
      finish(static_cast<std::uint32_t>(sexp.nodes_.size() - 1));
    } else {
      const std::size_t begin = pos;
      while (pos < n && !ends_atom(text[pos])) ++pos;
      Sexp::Node atom;
      atom.begin = static_cast<std::uint32_t>(begin);
      atom.size = static_cast<std::uint32_t>(pos - begin);
      sexp.nodes_.push_back(atom);
      finish(static_cast<std::uint32_t>(sexp.nodes_.size() - 1));
    }
  }
  if (!open_starts.empty()) return R::failure("unexpected end of input inside a list");
  if (!have_root) return R::failure("no expression in the input");
  return R::success(std::move(sexp));
}

std::string Sexp::render(std::uint32_t index) const {
  std::string out;
  // Each frame: a list and the next element to write.
  struct Frame {
    std::uint32_t list;
    std::uint32_t next;
  };
  std::vector<Frame> stack;
  auto write = [&](std::uint32_t node_index) {
    const Node& node = nodes_[node_index];
    if (node.is_list) {
      out.push_back('(');
      stack.push_back(Frame{node_index, 0});
    } else {
      out.append(atom(node_index));
    }
  };
  write(index);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node& list = nodes_[frame.list];
    if (frame.next == list.size) {
      out.push_back(')');
      stack.pop_back();
      continue;
    }
    if (frame.next != 0) out.push_back(' ');
    const std::uint32_t child = element(frame.list, frame.next++);
    write(child);  // may grow the stack; frame is not used after this
  }
  return out;
}

}  // namespace quorvel::egraph
