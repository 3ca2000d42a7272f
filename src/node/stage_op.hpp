// Members of a fused Stage node and the references between them.
#pragma once

#include <cstdint>

#include "support/keyed_hash.hpp"
#include "support/shared_text.hpp"
#include "support/small_vector.hpp"

namespace quorvel {

// Where a stage member takes one input from: the k-th input of the
// enclosing stage (tag 0) or the result of an earlier member j (tag 1).
// The index is 32 bits wide, as in the blob format: a stage never has
// more inputs or members than that.
struct StageRef {
  enum class Kind : std::uint8_t { Input = 0, Member = 1 };
  Kind kind;
  std::uint32_t index;

  static StageRef input(std::uint32_t k) { return {Kind::Input, k}; }
  static StageRef member(std::uint32_t j) { return {Kind::Member, j}; }

  friend bool operator==(const StageRef&, const StageRef&) = default;
};

// References of one member; most members read one or two values, which are
// kept inline.
using StageRefs = SmallVector<StageRef, 2>;

// One member of a stage: its op token and one reference per input. A
// reduction makes many members with the same token; they share its bytes.
struct StageOp {
  SharedText token;
  StageRefs refs;

  friend bool operator==(const StageOp&, const StageOp&) = default;

  void hash_into(KeyedHasher& hasher) const noexcept {
    hasher.bytes(token);
    hasher.word(refs.size());
    // Kind and index as separate words: one packed word would let index
    // 2^63 meet index 0 under every key.
    for (const StageRef& r : refs) {
      hasher.word(static_cast<std::uint64_t>(r.kind));
      hasher.word(r.index);
    }
  }
};

}  // namespace quorvel
