#include "egraph/symbol_table.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "support/keyed_hash.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

constexpr std::size_t kTextBlockSize = 64 * 1024;
constexpr std::size_t kInitialSlots = 64;

// Texts are node names and params, chosen by callers, so the hash that picks
// shard and slot is keyed with the process's random key: no set of texts
// shares a slot under every key. Handles therefore differ between processes
// (they carry the shard number); nothing observable depends on their
// numeric order.
std::uint64_t text_hash(std::string_view text) {
  KeyedHasher hasher(process_hash_key());
  hasher.bytes(text);
  return hasher.finish();
}

}  // namespace

SymbolTable::SymbolTable() {
  for (Shard& shard : shards_) shard.slots.assign(kInitialSlots, 0);
}

SymbolTable::~SymbolTable() {
  for (Shard& shard : shards_) {
    for (auto& chunk : shard.chunks) delete[] chunk.load(std::memory_order_relaxed);
  }
}

SymbolTable& SymbolTable::global() {
  // Deliberately never destroyed: symbols may be read during static
  // destruction of other objects.
  static SymbolTable* const table = new SymbolTable();
  return *table;
}

void SymbolTable::locate(std::uint32_t position, std::size_t& chunk, std::size_t& offset) {
  const std::uint64_t index = static_cast<std::uint64_t>(position) - 1;
  const std::uint64_t scaled = (index >> kFirstChunkBits) + 1;
  chunk = static_cast<std::size_t>(std::bit_width(scaled) - 1);
  offset = static_cast<std::size_t>(index - (((std::uint64_t{1} << chunk) - 1) << kFirstChunkBits));
}

const SymbolTable::Entry* SymbolTable::entry(const Shard& shard, std::uint32_t position) const {
  std::size_t chunk = 0;
  std::size_t offset = 0;
  locate(position, chunk, offset);
  const Entry* base = shard.chunks[chunk].load(std::memory_order_acquire);
  if (base == nullptr) return nullptr;
  return base + offset;
}

const char* SymbolTable::store_text(Shard& shard, std::string_view text) {
  if (text.empty()) return "";
  if (text.size() > kTextBlockSize / 4) {
    shard.text_blocks.emplace_back(new char[text.size()]);
    std::memcpy(shard.text_blocks.back().get(), text.data(), text.size());
    return shard.text_blocks.back().get();
  }
  if (shard.block_left < text.size()) {
    shard.text_blocks.emplace_back(new char[kTextBlockSize]);
    shard.block_cursor = shard.text_blocks.back().get();
    shard.block_left = kTextBlockSize;
  }
  char* out = shard.block_cursor;
  std::memcpy(out, text.data(), text.size());
  shard.block_cursor += text.size();
  shard.block_left -= text.size();
  return out;
}

void SymbolTable::grow_slots(Shard& shard) {
  std::vector<std::uint32_t> slots(shard.slots.size() * 2, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::uint32_t position : shard.slots) {
    if (position == 0) continue;
    std::size_t slot = entry(shard, position)->hash_tag & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = position;
  }
  shard.slots.swap(slots);
}

std::uint64_t SymbolTable::hash(std::string_view text) { return text_hash(text); }

std::size_t SymbolTable::probe(const Shard& shard, std::string_view text, std::uint32_t tag) const {
  const std::size_t mask = shard.slots.size() - 1;
  std::size_t slot = tag & mask;
  while (shard.slots[slot] != 0) {
    const Entry* existing = entry(shard, shard.slots[slot]);
    if (existing->hash_tag == tag && existing->size == text.size() &&
        std::memcmp(existing->data, text.data(), text.size()) == 0) {
      return slot;
    }
    slot = (slot + 1) & mask;
  }
  return slot;
}

std::uint32_t SymbolTable::find(std::string_view text, std::uint64_t hash) {
  const std::uint32_t shard_index = static_cast<std::uint32_t>(hash >> (64 - kShardBits));
  Shard& shard = shards_[shard_index];
  std::lock_guard<std::mutex> lock(shard.mutex);
  const std::uint32_t position = shard.slots[probe(shard, text, static_cast<std::uint32_t>(hash))];
  return position == 0 ? 0 : (shard_index << kPositionBits) | position;
}

std::uint32_t SymbolTable::intern(std::string_view text) {
  if (text.size() > UINT32_MAX) fail_invariant("symbol texts are shorter than 4 GiB", std::to_string(text.size()));
  const std::uint64_t hash = text_hash(text);
  const std::uint32_t shard_index = static_cast<std::uint32_t>(hash >> (64 - kShardBits));
  const std::uint32_t tag = static_cast<std::uint32_t>(hash);
  Shard& shard = shards_[shard_index];

  std::lock_guard<std::mutex> lock(shard.mutex);
  const std::size_t slot = probe(shard, text, tag);
  if (shard.slots[slot] != 0) return (shard_index << kPositionBits) | shard.slots[slot];

  if (shard.count == kPositionMask) {
    fail_invariant("a symbol table shard holds fewer than 2^28 texts", std::to_string(shard_index));
  }
  const std::uint32_t position = shard.count + 1;
  std::size_t chunk = 0;
  std::size_t offset = 0;
  locate(position, chunk, offset);
  Entry* base = shard.chunks[chunk].load(std::memory_order_relaxed);
  if (base == nullptr) {
    base = new Entry[std::size_t{1} << (chunk + kFirstChunkBits)]();
    // Publish the chunk; readers load it with acquire.
    shard.chunks[chunk].store(base, std::memory_order_release);
  }
  base[offset] = Entry{store_text(shard, text), static_cast<std::uint32_t>(text.size()), tag};
  shard.count = position;
  shard.slots[slot] = position;
  if (static_cast<std::size_t>(shard.count) * 2 > shard.slots.size()) grow_slots(shard);
  return (shard_index << kPositionBits) | position;
}

std::string_view SymbolTable::text(std::uint32_t handle) const {
  const std::uint32_t shard_index = handle >> kPositionBits;
  const std::uint32_t position = handle & kPositionMask;
  const Entry* found = position == 0 || shard_index >= kShardCount ? nullptr : entry(shards_[shard_index], position);
  if (found == nullptr || found->data == nullptr) {
    fail_invariant("a symbol handle names an interned text", std::to_string(handle));
  }
  return std::string_view(found->data, found->size);
}

}  // namespace quorvel::egraph
