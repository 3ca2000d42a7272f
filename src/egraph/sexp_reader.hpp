// Reads s-expression text into a flat tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/result.hpp"

namespace quorvel::egraph {

// An atom is a maximal run of characters other than space, carriage return,
// line feed, "(" and ")" (a tab inside an atom belongs to it). A list is "("
// followed by elements and ")"; spaces, tabs, carriage returns and line feeds
// between elements are skipped. The tree is flat (nodes refer to each other
// by index), so nesting depth is not limited by the call stack.
class Sexp {
 public:
  struct Node {
    bool is_list = false;
    std::uint32_t begin = 0;  // atom: offset into the text; list: offset into items
    std::uint32_t size = 0;   // atom: length; list: number of elements
  };

  std::uint32_t root() const noexcept { return root_; }
  const Node& node(std::uint32_t index) const { return nodes_[index]; }
  std::string_view atom(std::uint32_t index) const {
    return std::string_view(text_).substr(nodes_[index].begin, nodes_[index].size);
  }
  // Element k of the list at index.
  std::uint32_t element(std::uint32_t index, std::uint32_t k) const { return items_[nodes_[index].begin + k]; }

  // The text of the sub-expression at index, atoms separated by one space.
  std::string render(std::uint32_t index) const;

  friend Result<Sexp, std::string> read_sexp(std::string_view text);

 private:
  std::string text_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> items_;
  std::uint32_t root_ = 0;
};

// Reads exactly one s-expression, optionally surrounded by whitespace. The
// error is the reader's message.
Result<Sexp, std::string> read_sexp(std::string_view text);

}  // namespace quorvel::egraph
