// Reproducibility metadata of an external payload; part of an External
// node's identity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/hash_mix.hpp"

namespace quorvel {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from ""

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;

  std::uint64_t hash_into(std::uint64_t state) const noexcept {
    state = fold_bytes(state, kind);
    state = fold_bytes(state, content_hash);
    state = fold_bytes(state, framework);
    state = fold_bytes(state, version);
    state = fold_bytes(state, io_schema);
    state = fold_word(state, preprocessing_ref.has_value() ? 1 : 0);
    if (preprocessing_ref) state = fold_bytes(state, *preprocessing_ref);
    return state;
  }
};

}  // namespace quorvel
