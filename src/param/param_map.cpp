#include "param/param_map.hpp"

#include <algorithm>

#include "param/token_escape.hpp"
#include "support/hash_mix.hpp"

namespace quorvel {

ParamMap::ParamMap(std::vector<ParamEntry> entries) : entries_(std::move(entries)) {
  // std::string's operator< compares chars through char_traits<char>, which
  // orders them as unsigned bytes, so multi-byte UTF-8 names sort byte-wise.
  auto by_name = [](const ParamEntry& a, const ParamEntry& b) { return a.name < b.name; };
  if (entries_.size() <= 16) {
    // Insertion sort: stable, and unlike std::stable_sort it needs no
    // temporary buffer for the few entries a node usually has.
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      for (std::size_t j = i; j > 0 && by_name(entries_[j], entries_[j - 1]); --j) {
        std::swap(entries_[j], entries_[j - 1]);
      }
    }
  } else {
    std::stable_sort(entries_.begin(), entries_.end(), by_name);
  }
}

std::uint64_t ParamMap::hash_into(std::uint64_t state) const noexcept {
  state = fold_word(state, entries_.size());
  for (const ParamEntry& e : entries_) {
    state = fold_bytes(state, e.name);
    state = e.value.hash_into(state);
  }
  return state;
}

void ParamMap::append_token(std::string& out) const {
  bool first = true;
  for (const ParamEntry& e : entries_) {
    if (!first) out.push_back(';');
    first = false;
    append_escaped_token(out, e.name);
    out.push_back('=');
    e.value.append_token(out);
  }
}

std::string ParamMap::token() const {
  std::string out;
  append_token(out);
  return out;
}

void ParamMap::append_display(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const ParamEntry& e : entries_) {
    if (!first) out.append(", ");
    first = false;
    out.append(e.name);
    out.push_back('=');
    e.value.append_display(out);
  }
  out.push_back('}');
}

std::string ParamMap::display() const {
  std::string out;
  append_display(out);
  return out;
}

std::string with_params(std::string base, const ParamMap& params) {
  if (params.empty()) return base;
  base.push_back('|');
  params.append_token(base);
  return base;
}

}  // namespace quorvel
