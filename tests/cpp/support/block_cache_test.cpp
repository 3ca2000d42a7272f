// The block cache: a freed block serves the next request of its size, the
// kept bytes stay under their limit, and releasing gives everything back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/block_cache.hpp"

namespace quorvel {
namespace {

class BlockCache : public ::testing::Test {
 protected:
  void SetUp() override { block_cache::release_kept(); }
  void TearDown() override { block_cache::release_kept(); }
};

TEST_F(BlockCache, AFreedBlockServesTheNextRequestOfItsSizeOnly) {
  constexpr std::size_t kSize = 300 << 10;
  auto* first = static_cast<unsigned char*>(block_cache::allocate(kSize));
  std::memset(first, 0x5A, kSize);
  block_cache::deallocate(first, kSize);
  EXPECT_EQ(block_cache::kept_bytes(), kSize);
  // Another size is not served from it.
  void* other = block_cache::allocate(kSize + 8);
  EXPECT_NE(other, first);
  EXPECT_EQ(block_cache::kept_bytes(), kSize);
  // The same size is, and the block leaves the cache.
  auto* again = static_cast<unsigned char*>(block_cache::allocate(kSize));
  EXPECT_EQ(again, first);
  EXPECT_EQ(block_cache::kept_bytes(), 0u);
  std::memset(again, 0x11, kSize);
  block_cache::deallocate(again, kSize);
  block_cache::deallocate(other, kSize + 8);
  EXPECT_EQ(block_cache::kept_bytes(), 2 * kSize + 8);
  EXPECT_EQ(block_cache::release_kept(), 2 * kSize + 8);
  EXPECT_EQ(block_cache::kept_bytes(), 0u);
}

TEST_F(BlockCache, KeepsNoMoreThanItsLimit) {
  constexpr std::size_t kSize = 1 << 20;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < block_cache::kKeptBytes / kSize + 3; ++i) blocks.push_back(block_cache::allocate(kSize));
  for (void* p : blocks) block_cache::deallocate(p, kSize);  // the ones past the limit are deleted
  EXPECT_EQ(block_cache::kept_bytes(), block_cache::kKeptBytes);
}

}  // namespace
}  // namespace quorvel
