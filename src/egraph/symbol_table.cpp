#include "egraph/symbol_table.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "support/hash_mix.hpp"
#include "support/internal_error.hpp"
#include "support/keyed_hash.hpp"

namespace quorvel::egraph {

namespace {

constexpr std::size_t kTextBlockSize = 64 * 1024;

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

SymbolTable::SymbolTable() = default;

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

std::uint64_t SymbolTable::hash(std::string_view text) { return text_hash(text); }

bool SymbolTable::holds(const Shard& shard, const Slot& slot, std::string_view text, std::uint32_t tag) const {
  const Entry* existing = entry(shard, slot.position);
  return existing->hash_tag == tag && existing->size == text.size() &&
         std::memcmp(existing->data, text.data(), text.size()) == 0;
}

std::uint32_t SymbolTable::find(std::string_view text, std::uint64_t hash) {
  const std::uint32_t shard_index = static_cast<std::uint32_t>(hash >> (64 - kShardBits));
  const std::uint32_t tag = static_cast<std::uint32_t>(hash);
  Shard& shard = shards_[shard_index];
  std::lock_guard<std::mutex> lock(shard.mutex);
  const Slot* found = shard.slots.find(tag, [&](const Slot& slot) { return holds(shard, slot, text, tag); });
  return found == nullptr ? 0 : (shard_index << kPositionBits) | found->position;
}

std::uint32_t SymbolTable::intern(std::string_view text) {
  if (text.size() > UINT32_MAX) fail_invariant("symbol texts are shorter than 4 GiB", std::to_string(text.size()));
  const std::uint64_t hash = text_hash(text);
  const std::uint32_t shard_index = static_cast<std::uint32_t>(hash >> (64 - kShardBits));
  const std::uint32_t tag = static_cast<std::uint32_t>(hash);
  Shard& shard = shards_[shard_index];

  std::lock_guard<std::mutex> lock(shard.mutex);
  const auto probe = shard.slots.find_or_room(
      tag, [&](const Slot& slot) { return holds(shard, slot, text, tag); },
      [&](const Slot& slot) { return entry(shard, slot.position)->hash_tag; });
  if (probe.found) return (shard_index << kPositionBits) | probe.slot->position;

  if (shard.count == kPositionMask) {
    fail_invariant("a symbol table shard holds fewer than 2^28 texts", std::to_string(shard_index));
  }
  const std::uint32_t position = shard.count + 1;
  // The head is noted before the text can be found: whoever finds the text
  // also finds its head.
  const std::size_t bit = head_bit(head_of(text));
  head_bits_[bit / 64].fetch_or(std::uint64_t{1} << (bit % 64), std::memory_order_release);
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
  shard.slots.fill(probe.slot, Slot{position});
  return (shard_index << kPositionBits) | position;
}

std::string_view SymbolTable::head_of(std::string_view text) noexcept {
  const std::size_t first = text.find('|');
  if (first == std::string_view::npos) return text;
  const std::size_t second = text.find('|', first + 1);
  return second == std::string_view::npos ? text : text.substr(0, second);
}

// Unkeyed: a head only picks a filter bit, and a caller who steers heads
// onto set bits gains nothing but a text built and looked up as before.
std::size_t SymbolTable::head_bit(std::string_view head) noexcept {
  return static_cast<std::size_t>(mix64(fold_bytes(0, head)) % (kHeadWords * 64));
}

bool SymbolTable::may_hold_head(std::string_view head) const noexcept {
  const std::size_t bit = head_bit(head);
  return (head_bits_[bit / 64].load(std::memory_order_acquire) >> (bit % 64) & 1u) != 0;
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
