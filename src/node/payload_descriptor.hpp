// Reproducibility metadata of an external payload; part of an External
// node's identity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/keyed_hash.hpp"

namespace quorvel {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from ""

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;

  void hash_into(KeyedHasher& hasher) const noexcept {
    hasher.bytes(kind);
    hasher.bytes(content_hash);
    hasher.bytes(framework);
    hasher.bytes(version);
    hasher.bytes(io_schema);
    hasher.word(preprocessing_ref.has_value() ? 1 : 0);
    if (preprocessing_ref) hasher.bytes(*preprocessing_ref);
  }
};

}  // namespace quorvel
