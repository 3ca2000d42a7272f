// A node's parameters: (name, value) entries sorted by name, byte-wise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "param/param_value.hpp"

namespace quorvel {

struct ParamEntry {
  std::string name;
  ParamValue value;

  friend bool operator==(const ParamEntry& a, const ParamEntry& b) noexcept {
    return a.name == b.name && a.value == b.value;
  }
};

class ParamMap {
 public:
  ParamMap() = default;

  // Sorts the entries by name (stable, unsigned byte order). Entries with
  // equal names are all kept, in their given order.
  explicit ParamMap(std::vector<ParamEntry> entries);

  const std::vector<ParamEntry>& entries() const noexcept { return entries_; }
  bool empty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }

  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept { return a.entries_ == b.entries_; }

  std::uint64_t hash_into(std::uint64_t state) const noexcept;

  // "name=value;name=value" with names escaped; empty for an empty map.
  std::string token() const;
  void append_token(std::string& out) const;

  // "{name=value, name=value}" with display values; names as they are.
  std::string display() const;
  void append_display(std::string& out) const;

 private:
  std::vector<ParamEntry> entries_;
};

// The base unchanged for an empty map, else base + "|" + the map's token.
std::string with_params(std::string base, const ParamMap& params);

}  // namespace quorvel
