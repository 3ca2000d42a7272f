// The symbols of one reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "support/open_table.hpp"

namespace quorvel::egraph {

// Numbers the texts one reduction hands the engine (the engine keys of its
// nodes). A text the process-wide table already holds, which is an
// operator some rule names, gets its process-wide handle, so that rules
// match it; every other text gets a handle of this table alone, with the
// top bit set, and is forgotten with it. The process-wide table thus grows
// only with the rules, however many distinct parameters, stages and
// descriptors a long-running process reduces.
//
// Local handles are numbered 1, 2, ... in the order texts are first seen,
// so they are the same in every process for the same graph. Rules must be
// built before the table is filled: a text interned process-wide later
// keeps the local handle it already has here.
class LocalSymbols {
 public:
  static constexpr std::uint32_t kLocalBit = std::uint32_t{1} << 31;

  // expected_texts sizes the table; it grows past it as needed.
  explicit LocalSymbols(std::size_t expected_texts = 0);

  // The handle of text: its process-wide one when it has one, else this
  // table's.
  GlobalSymbol intern(std::string_view text);
  // A handle of this table for a text that the caller knows to be new to
  // it and absent from the process-wide table, without the text: the
  // caller keeps what the text is made from, and has_text() is false for it.
  GlobalSymbol add_untexted();
  bool has_text(GlobalSymbol symbol) const;

  static bool is_local(GlobalSymbol symbol) noexcept { return (symbol.handle() & kLocalBit) != 0; }

  // The text of a symbol this table returned, or of any process-wide
  // symbol; valid while the table lives (process-wide texts for the life of
  // the process).
  std::string_view text(GlobalSymbol symbol) const;

  // How many distinct texts have been interned, and how many handles of
  // this table (texted or not) handed out: they are numbered 1 to
  // local_count().
  std::size_t size() const noexcept { return entries_.size(); }
  std::size_t local_count() const noexcept { return local_entries_.size(); }

 private:
  struct Entry {
    std::uint64_t offset;  // of the text in texts_
    std::uint32_t size;
    std::uint32_t hash_tag;
    GlobalSymbol symbol;
  };

  struct Slot {
    std::uint32_t entry_plus_one;  // a zero slot is empty
  };
  std::uint64_t home(const Slot& slot) const noexcept { return entries_[slot.entry_plus_one - 1].hash_tag; }

  std::string texts_;                 // every text, back to back
  std::vector<Entry> entries_;
  OpenTable<Slot> slots_;
  std::vector<std::uint32_t> local_entries_;  // per local handle, its entry or kUntexted
  static constexpr std::uint32_t kUntexted = ~std::uint32_t{0};
};

}  // namespace quorvel::egraph
