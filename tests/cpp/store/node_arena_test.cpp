// The arena across its chunk and block boundaries: the heap chunks, then
// chunks carved from mapped blocks. Keys stay where they were put, lists
// taken of a prefix read the same keys, and truncating and refilling across
// a boundary leaves nothing behind (ASan reports a leak or a double free).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/node_arena.hpp"
#include "support/block_cache.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kChunk = NodeArena::kChunkSize;
constexpr std::size_t kHeap = NodeArena::kHeapChunks * kChunk;
constexpr std::size_t kBlock = NodeArena::kChunksPerBlock * kChunk;

NodeKey key(std::size_t i, const char* tag = "k") {
  return NodeKey::op(tag, ParamMap({{"i", ParamValue::integer(static_cast<std::int64_t>(i))}}), {i, i + 1});
}

void fill(NodeArena& arena, std::size_t from, std::size_t to, const char* tag = "k") {
  for (std::size_t i = from; i < to; ++i) {
    arena.reserve_one();
    arena.append_reserved(key(i, tag));
  }
}

// Positions on both sides of every kind of boundary.
std::vector<std::size_t> edges(std::size_t size) {
  std::vector<std::size_t> out;
  for (std::size_t at : {std::size_t{0}, kChunk, kHeap, kHeap + kChunk, kHeap + kBlock, kHeap + 2 * kBlock}) {
    for (std::size_t i : {at - 1, at}) {
      if (i < size) out.push_back(i);
    }
  }
  out.push_back(size - 1);
  return out;
}

TEST(NodeArena, KeysStayPutAcrossChunksAndBlocks) {
  const std::size_t size = kHeap + kBlock + kChunk + 3;  // the heap chunks, one full block, two chunks of the next
  NodeArena arena;
  fill(arena, 0, size);
  ASSERT_EQ(arena.size(), size);
  const NodeKey* first = &arena[0];
  const NodeList all = arena.prefix(size);
  for (std::size_t i : edges(size)) {
    EXPECT_EQ(arena[i], key(i)) << i;
    EXPECT_EQ(&all[i], &arena[i]) << i;
  }
  EXPECT_EQ(&arena[0], first);
}

TEST(NodeArena, TruncatingAndRefillingAcrossABlockKeepsTheRest) {
  NodeArena arena;
  arena.reserve(kHeap + kBlock + 10);
  fill(arena, 0, kHeap + kBlock + 10);
  const std::size_t cut = kHeap + 5;  // inside the first mapped block
  arena.truncate(cut);
  ASSERT_EQ(arena.size(), cut);
  fill(arena, cut, kHeap + kBlock + 20, "again");
  for (std::size_t i : edges(arena.size())) {
    EXPECT_EQ(arena[i], i < cut ? key(i) : key(i, "again")) << i;
  }
}

// A store's heap chunks go back to the cache when the store is freed, and
// the next store takes them: no fresh memory for stores made call after
// call.
TEST(NodeArena, TakesTheHeapChunksTheLastOneGaveBack) {
  block_cache::release_kept();
  const NodeKey* first = nullptr;
  {
    NodeArena arena;
    arena.reserve_one();
    arena.append_reserved(NodeKey::source("s", {}));
    first = &arena[0];
  }
  EXPECT_GT(block_cache::kept_bytes(), 0u);
  NodeArena next;
  next.reserve_one();
  next.append_reserved(NodeKey::source("t", {}));
  EXPECT_EQ(&next[0], first);
  EXPECT_EQ(next[0], NodeKey::source("t", {}));
}

}  // namespace
}  // namespace quorvel
