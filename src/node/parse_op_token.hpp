// Reads an Op or Reduction token back into its kind text, name and params.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "param/param_map.hpp"

namespace quorvel {

struct ParsedOpToken {
  std::string kind;  // "op" or "red"
  std::string name;
  ParamMap params;
};

// Nothing for any text that is not an op or reduction token.
std::optional<ParsedOpToken> parse_op_token(std::string_view token);

}  // namespace quorvel
