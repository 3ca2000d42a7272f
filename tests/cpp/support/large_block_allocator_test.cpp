// Working blocks for reductions: heap blocks below the threshold, mapped
// blocks on huge-page boundaries above it, and the zero-filled tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/large_block_allocator.hpp"
#include "support/zeroed_table.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kThreshold = large_block::kMapThreshold;

// Sizes on both sides of the threshold and of huge-page multiples.
const std::vector<std::size_t> kSizes = {
    1, 4095, kThreshold - 1, kThreshold, kThreshold + 1, kHugePage - 1, kHugePage + 1, 3 * kHugePage + 12345,
};

TEST(LargeBlock, EveryRequestedByteIsUsableAndMappedBlocksAreHugePageAligned) {
  for (std::size_t bytes : kSizes) {
    auto* p = static_cast<unsigned char*>(large_block::allocate(bytes));
    ASSERT_NE(p, nullptr) << bytes;
    if (bytes >= kThreshold) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % kHugePage, 0u) << bytes;
    }
    std::memset(p, 0xA5, bytes);
    EXPECT_EQ(p[0], 0xA5) << bytes;
    EXPECT_EQ(p[bytes - 1], 0xA5) << bytes;
    large_block::deallocate(p, bytes);
  }
  large_block::deallocate(nullptr, kThreshold);  // a no-op, as for operator delete
}

TEST(LargeBlock, VectorsKeepTheirContentsWhileGrowingAcrossTheThreshold) {
  LargeVector<std::uint64_t> values;
  const std::size_t count = 3 * kThreshold / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < count; ++i) values.push_back(i * 0x9E3779B97F4A7C15ULL);
  ASSERT_GE(values.capacity() * sizeof(std::uint64_t), kThreshold);
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(values[i], i * 0x9E3779B97F4A7C15ULL) << i;
  values.resize(10);
  values.shrink_to_fit();  // back below the threshold: from the heap again
  EXPECT_EQ(values[9], 9 * 0x9E3779B97F4A7C15ULL);
}

TEST(ZeroedTable, ZeroFilledOnBothSidesOfTheThreshold) {
  for (std::size_t bytes : kSizes) {
    const ZeroedTable table(bytes, 1);
    ASSERT_EQ(table.bytes(), bytes);
    const auto* p = static_cast<const unsigned char*>(table.data());
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
  }
  EXPECT_THROW(ZeroedTable(SIZE_MAX / 2, 4), std::bad_alloc);
}

}  // namespace
}  // namespace quorvel
