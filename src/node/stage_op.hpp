// Members of a fused Stage node and the references between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/hash_mix.hpp"

namespace quorvel {

// Where a stage member takes one input from: the k-th input of the
// enclosing stage (tag 0) or the result of an earlier member j (tag 1).
struct StageRef {
  enum class Kind : std::uint8_t { Input = 0, Member = 1 };
  Kind kind;
  std::uint64_t index;

  static StageRef input(std::uint64_t k) { return {Kind::Input, k}; }
  static StageRef member(std::uint64_t j) { return {Kind::Member, j}; }

  friend bool operator==(const StageRef&, const StageRef&) = default;
};

// One member of a stage: its op token and one reference per input.
struct StageOp {
  std::string token;
  std::vector<StageRef> refs;

  friend bool operator==(const StageOp&, const StageOp&) = default;

  std::uint64_t hash_into(std::uint64_t state) const noexcept {
    state = fold_bytes(state, token);
    state = fold_word(state, refs.size());
    for (const StageRef& r : refs) state = fold_word(state, (r.index << 1) ^ static_cast<std::uint64_t>(r.kind));
    return state;
  }
};

}  // namespace quorvel
