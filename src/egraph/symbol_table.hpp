// The process-wide interner behind GlobalSymbol.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "support/open_table.hpp"

namespace quorvel::egraph {

// Maps texts to 32-bit handles and back. The same text always yields the same
// handle and different texts different handles. The table is split into 16
// shards chosen from a keyed hash of the text (random per process, so a
// text's handle differs from one process to the next), each guarded by its own mutex for
// the duration of one lookup-or-insert. A handle carries the shard number in
// bits 27 to 30 and the 1-based position within the shard in its low 27
// bits, so 0 is never a handle; the top bit is never set (handles with it
// set are numbered by one reduction, see local_symbols.hpp).
//
// Texts are never freed and never move: reading a handle's text back takes
// no lock and is safe while other threads insert. The process-wide table
// therefore holds only what rules name (operators, variables, rule names);
// the texts of the graphs being reduced are numbered per reduction.
class SymbolTable {
 public:
  static constexpr unsigned kShardBits = 4;
  static constexpr unsigned kShardCount = 1u << kShardBits;
  static constexpr unsigned kPositionBits = 31 - kShardBits;
  static constexpr std::uint32_t kPositionMask = (1u << kPositionBits) - 1;

  SymbolTable();
  ~SymbolTable();
  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

  // The table shared by the whole process; it lives until the process ends.
  static SymbolTable& global();

  // The keyed hash of a text that picks its shard and slot.
  static std::uint64_t hash(std::string_view text);

  // Returns the handle of text, adding the text if it is new.
  std::uint32_t intern(std::string_view text);
  // The handle of text (whose hash(text) is given), or 0 when the table
  // does not hold it; adds nothing.
  std::uint32_t find(std::string_view text, std::uint64_t hash);

  // The text behind a handle this table returned. An unknown handle is an
  // internal error.
  std::string_view text(std::uint32_t handle) const;

  // A text's head: the part before its second '|', all of it when it has
  // fewer. (An engine key's head is its kind and name, which a caller can
  // tell without writing the whole key.)
  static std::string_view head_of(std::string_view text) noexcept;
  // Whether the table may hold a text with this head. A no is exact: a
  // caller may then take any text with the head to be absent without
  // building it. A yes may be wrong (the heads of the texts added so far set
  // bits of a small filter).
  bool may_hold_head(std::string_view head) const noexcept;

 private:
  struct Entry {
    const char* data;
    std::uint32_t size;
    std::uint32_t hash_tag;
  };

  // Entries live in chunks of doubling size; a chunk, once published, never
  // moves, so entry addresses are stable for the life of the table.
  static constexpr std::uint32_t kFirstChunkBits = 8;
  static constexpr std::size_t kChunkCount = kPositionBits - kFirstChunkBits + 1;

  struct Slot {
    std::uint32_t position;  // 1-based, so a zero slot is empty
  };

  struct Shard {
    std::mutex mutex;
    std::array<std::atomic<Entry*>, kChunkCount> chunks{};
    std::uint32_t count = 0;                  // entries so far (guarded)
    OpenTable<Slot> slots;
    std::vector<std::unique_ptr<char[]>> text_blocks;
    char* block_cursor = nullptr;
    std::size_t block_left = 0;
  };

  static void locate(std::uint32_t position, std::size_t& chunk, std::size_t& offset);
  const Entry* entry(const Shard& shard, std::uint32_t position) const;
  const char* store_text(Shard& shard, std::string_view text);
  // Whether slot of shard (locked) holds text.
  bool holds(const Shard& shard, const Slot& slot, std::string_view text, std::uint32_t tag) const;

  std::array<Shard, kShardCount> shards_;
  // The heads filter: one bit per head, chosen by a fixed hash.
  static constexpr std::size_t kHeadWords = 64;
  static std::size_t head_bit(std::string_view head) noexcept;
  std::array<std::atomic<std::uint64_t>, kHeadWords> head_bits_{};
};

}  // namespace quorvel::egraph
