// Working blocks for reductions: heap blocks below the threshold, mapped
// blocks on huge-page boundaries above it, and the zero-filled tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "support/large_block_allocator.hpp"
#include "support/open_table.hpp"
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

#if defined(__linux__)

// Whether every page of [p, p + bytes) is mapped: mincore fails with ENOMEM
// on a range holding unmapped pages.
bool mapped(const void* p, std::size_t bytes) {
  std::vector<unsigned char> pages((bytes + 4095) / 4096);
  return mincore(const_cast<void*>(p), bytes, pages.data()) == 0;
}

// Each test starts from an empty set of kept blocks.
class KeptBlocks : public ::testing::Test {
 protected:
  void SetUp() override { large_block::release_kept(); }
  void TearDown() override { large_block::release_kept(); }
};

TEST_F(KeptBlocks, AFreedBlockServesALaterRequestAndKeepsTheRestForAnother) {
  auto* first = static_cast<unsigned char*>(large_block::allocate(4 * kHugePage));
  std::memset(first, 0x5A, 4 * kHugePage);
  large_block::deallocate(first, 4 * kHugePage);
  EXPECT_EQ(large_block::kept_bytes(), 4 * kHugePage);
  ASSERT_TRUE(mapped(first, 4 * kHugePage));

  // A smaller request takes the head; the tail stays kept and serves the next.
  auto* second = static_cast<unsigned char*>(large_block::allocate(kThreshold + 1));
  EXPECT_EQ(second, first);
  EXPECT_EQ(large_block::kept_bytes(), kHugePage);
  auto* third = static_cast<unsigned char*>(large_block::allocate(kThreshold - 1));  // from the heap
  auto* fourth = static_cast<unsigned char*>(large_block::allocate(kThreshold));  // two pages: mapped afresh
  EXPECT_NE(fourth, first + 3 * kHugePage);
  std::memset(second, 0x11, kThreshold + 1);
  std::memset(fourth, 0x22, kThreshold);
  large_block::deallocate(third, kThreshold - 1);
  large_block::deallocate(fourth, kThreshold);
  large_block::deallocate(second, kThreshold + 1);
  // The head and the tail join again: one request of the whole size gets them.
  EXPECT_EQ(large_block::kept_bytes(), 6 * kHugePage);
  EXPECT_EQ(large_block::allocate(4 * kHugePage), first);
  large_block::deallocate(first, 4 * kHugePage);
}

bool touch(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) {
  const auto* x = static_cast<const char*>(a);
  const auto* y = static_cast<const char*>(b);
  return x + a_bytes == y || y + b_bytes == x;
}

TEST_F(KeptBlocks, PicksTheSmallestKeptBlockThatFits) {
  // Blocks still in use between them keep the freed ones from joining.
  void* big = large_block::allocate(8 * kHugePage);
  void* spacer1 = large_block::allocate(kThreshold);
  void* middle = large_block::allocate(4 * kHugePage);
  void* spacer2 = large_block::allocate(kThreshold);
  void* small = large_block::allocate(kThreshold);
  if (touch(big, 8 * kHugePage, middle, 4 * kHugePage) || touch(middle, 4 * kHugePage, small, kThreshold) ||
      touch(big, 8 * kHugePage, small, kThreshold)) {
    GTEST_SKIP() << "the system placed two of the blocks side by side";
  }
  large_block::deallocate(big, 8 * kHugePage);
  large_block::deallocate(middle, 4 * kHugePage);
  large_block::deallocate(small, kThreshold);
  void* taken = large_block::allocate(3 * kHugePage);
  EXPECT_EQ(taken, middle);
  EXPECT_TRUE(mapped(big, 8 * kHugePage));
  large_block::deallocate(taken, 3 * kHugePage);
  large_block::deallocate(spacer1, kThreshold);
  large_block::deallocate(spacer2, kThreshold);
}

TEST_F(KeptBlocks, KeptPagesAreClearedForZeroedRequests) {
  auto* dirty = static_cast<unsigned char*>(large_block::allocate(kThreshold));
  std::memset(dirty, 0xFF, kThreshold);
  large_block::deallocate(dirty, kThreshold);
  auto* zeroed = static_cast<const unsigned char*>(large_block::allocate_zeroed(kThreshold));
  ASSERT_EQ(zeroed, dirty);
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < kThreshold; ++i) nonzero += zeroed[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  large_block::deallocate(const_cast<unsigned char*>(zeroed), kThreshold);
  // A zeroed table goes back to the kept blocks too.
  {
    const ZeroedTable table(kThreshold, 1);
    EXPECT_EQ(table.data(), dirty);
  }
  EXPECT_EQ(large_block::kept_bytes(), kThreshold);
}

// A long-lived table's block goes back to the system when freed, the
// working tables' blocks to the kept ones.
TEST_F(KeptBlocks, TablesFreedUnmappedAreNotKept) {
  void* address = nullptr;
  {
    const ZeroedTable table(kThreshold, 1, FreedBlock::unmapped);
    address = table.data();
  }
  EXPECT_EQ(large_block::kept_bytes(), 0u);
  EXPECT_FALSE(mapped(address, kHugePage));
  { const ZeroedTable table(kThreshold, 1, FreedBlock::kept); }
  EXPECT_EQ(large_block::kept_bytes(), kThreshold);
  // A moved table keeps its choice.
  {
    ZeroedTable table(2 * kThreshold, 1, FreedBlock::unmapped);
    ZeroedTable other;
    other = std::move(table);
  }
  EXPECT_EQ(large_block::kept_bytes(), kThreshold);
}

// A table that grows hands its outgrown storage back the way it was told.
TEST_F(KeptBlocks, AGrowingTableFreesItsOldStorageAsChosen) {
  struct Slot {
    std::uint64_t value;
  };
  const auto hash_of = [](const Slot& slot) { return slot.value; };
  const std::size_t entries = kThreshold / sizeof(Slot);  // a table of at least kThreshold bytes
  for (const FreedBlock freed : {FreedBlock::unmapped, FreedBlock::kept}) {
    large_block::release_kept();
    OpenTable<Slot> table(freed);
    table.reserve(entries, hash_of);
    table.insert_new(12345, Slot{12345});
    const std::size_t outgrown = table.capacity_bytes();
    table.reserve(4 * entries, hash_of);
    EXPECT_EQ(large_block::kept_bytes(), freed == FreedBlock::kept ? outgrown : 0u);
    EXPECT_NE(table.find(12345, [](const Slot& slot) { return slot.value == 12345; }), nullptr);
  }
}

TEST_F(KeptBlocks, ReleaseUnmapsEverythingKeptAndHandedOutBlocksStayTheirOwn) {
  void* kept = large_block::allocate(2 * kHugePage + 1);
  auto* handed_out = static_cast<unsigned char*>(large_block::allocate(4 * kHugePage));
  large_block::deallocate(handed_out, 4 * kHugePage);
  handed_out = static_cast<unsigned char*>(large_block::allocate(kThreshold));  // the same block's head
  large_block::deallocate(kept, 2 * kHugePage + 1);
  const std::size_t before = large_block::kept_bytes();
  EXPECT_EQ(before, 5 * kHugePage);  // three pages for the first block, two of the second one's tail
  EXPECT_EQ(large_block::release_kept(), before);
  EXPECT_EQ(large_block::kept_bytes(), 0u);
  EXPECT_FALSE(mapped(kept, kHugePage));
  ASSERT_TRUE(mapped(handed_out, kThreshold));
  std::memset(handed_out, 0x33, kThreshold);
  EXPECT_EQ(handed_out[kThreshold - 1], 0x33);
  large_block::deallocate(handed_out, kThreshold);
  EXPECT_EQ(large_block::kept_bytes(), kThreshold);
}

TEST_F(KeptBlocks, UnmapsWhatWouldGoBeyondTheLimit) {
  // Mapped but never touched: the limit costs address space here, not memory.
  void* whole = large_block::allocate(large_block::kKeepLimit);
  void* extra = large_block::allocate(kThreshold);
  large_block::deallocate(whole, large_block::kKeepLimit);
  EXPECT_EQ(large_block::kept_bytes(), large_block::kKeepLimit);
  large_block::deallocate(extra, kThreshold);
  EXPECT_EQ(large_block::kept_bytes(), large_block::kKeepLimit);
  EXPECT_FALSE(mapped(extra, kHugePage));
}

TEST_F(KeptBlocks, UnmapsWhatItHasNoRoomToKeep) {
  // Every other block stays in use, so that the freed ones never touch.
  std::vector<void*> blocks;
  for (int k = 0; k < 160; ++k) blocks.push_back(large_block::allocate(kThreshold));
  std::size_t freed = 0;
  for (std::size_t k = 0; k < blocks.size(); k += 2, ++freed) large_block::deallocate(blocks[k], kThreshold);
  EXPECT_LT(large_block::kept_bytes(), freed * kThreshold);
  EXPECT_FALSE(mapped(blocks[blocks.size() - 2], kHugePage));
  for (std::size_t k = 1; k < blocks.size(); k += 2) large_block::deallocate(blocks[k], kThreshold);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(KeptBlocks, AUseAfterFreeOfAKeptBlockIsStillReported) {
  auto* p = static_cast<unsigned char*>(large_block::allocate(kThreshold));
  p[0] = 1;
  large_block::deallocate(p, kThreshold);
  ASSERT_EQ(large_block::kept_bytes(), kThreshold);
  EXPECT_DEATH(static_cast<volatile unsigned char*>(p)[kThreshold / 2] = 2, "use-after-poison");
  // Handed out again, it is ordinary memory.
  auto* again = static_cast<unsigned char*>(large_block::allocate(kThreshold));
  ASSERT_EQ(again, p);
  again[kThreshold / 2] = 3;
  large_block::deallocate(again, kThreshold);
}
#endif

using KeptBlocksConcurrency = KeptBlocks;

TEST_F(KeptBlocksConcurrency, ThreadsShareThemWithoutHandingOneBlockOutTwice) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t bytes = kThreshold + static_cast<std::size_t>((t + round) % 3) * kHugePage;
        auto* p = static_cast<unsigned char*>(large_block::allocate(bytes));
        const auto mark = static_cast<unsigned char>(t * 31 + round);
        p[0] = mark;
        p[bytes / 2] = mark;
        p[bytes - 1] = mark;
        std::this_thread::yield();
        failures[t] += p[0] != mark || p[bytes / 2] != mark || p[bytes - 1] != mark;
        large_block::deallocate(p, bytes);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
  EXPECT_LE(large_block::kept_bytes(), large_block::kKeepLimit);
}

// The size of this process's address space, in bytes.
std::size_t address_space_bytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (statm != nullptr) {
    if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Keeps a block, then, under a limit on the address space that leaves no
// room for a larger request beside the kept block, makes that request.
// Exits 0 only if it succeeded and just the new block stayed kept.
[[noreturn]] void request_past_kept_blocks_under_a_limit() {
  constexpr std::size_t kKeptSize = 96 << 20;
  constexpr std::size_t kWanted = 128 << 20;
  void* first = large_block::allocate(kKeptSize);
  std::memset(first, 1, kKeptSize);
  large_block::deallocate(first, kKeptSize);  // kept, and too small for the next request
  // Room for the new mapping (and its alignment slack) only without half of
  // the kept block.
  const std::size_t limit = address_space_bytes() + kWanted + kHugePage - kKeptSize / 2;
  const rlimit rl{limit, limit};
  if (setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(2);
  try {
    void* second = large_block::allocate(kWanted);
    std::memset(second, 2, kWanted);
    large_block::deallocate(second, kWanted);
  } catch (const std::bad_alloc&) {
    std::_Exit(3);
  }
  std::_Exit(large_block::kept_bytes() == kWanted ? 0 : 4);
}

TEST_F(KeptBlocks, AreHandedBackWhenARequestFailsUnderAnAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(request_past_kept_blocks_under_a_limit(), ::testing::ExitedWithCode(0), "");
}

#endif  // __linux__

}  // namespace
}  // namespace quorvel
