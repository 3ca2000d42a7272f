// Why a pattern text could not be parsed.
#pragma once

#include <string>

namespace quorvel::egraph {

enum class PatternErrorKind {
  BadSexp,        // not a well-formed s-expression; detail is the reader's error
  EmptySexp,      // an empty list
  HeadList,       // a list whose first element is a list; detail is that list
  UnexpectedVar,  // a variable with children; detail is the variable's text
  BadOp,          // an operator the node language rejects (never produced here)
};

struct PatternParseError {
  PatternErrorKind kind;
  std::string detail;

  std::string message() const;
};

}  // namespace quorvel::egraph
