#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/symbol_table.hpp"
#include "egraph_test_support.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {
namespace {

TEST(SymbolTable, SameTextSameHandleDifferentTextDifferentHandle) {
  SymbolTable table;
  const std::vector<std::string> texts = {"", "a", "b", "op|add", "op|add|scalar=f0000000000000000;side=sr",
                                          "with\ttab", std::string(5000, 'x'), std::string(5000, 'y')};
  std::set<std::uint32_t> handles;
  for (const std::string& text : texts) {
    const std::uint32_t handle = table.intern(text);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(table.intern(text), handle) << text;
    EXPECT_EQ(table.text(handle), text);
    handles.insert(handle);
  }
  EXPECT_EQ(handles.size(), texts.size());
}

TEST(SymbolTable, HeadIsThePartBeforeTheSecondBar) {
  EXPECT_EQ(SymbolTable::head_of(""), "");
  EXPECT_EQ(SymbolTable::head_of("commute-add"), "commute-add");
  EXPECT_EQ(SymbolTable::head_of("op|add"), "op|add");
  EXPECT_EQ(SymbolTable::head_of("op|add|scalar=f0;side=sr"), "op|add");
  EXPECT_EQ(SymbolTable::head_of("op||x|y"), "op|");
  EXPECT_EQ(SymbolTable::head_of("|x"), "|x");
}

// The heads filter answers yes for the head of every text added, and no for
// nearly every other head: a no is what lets a reduction skip writing keys.
TEST(SymbolTable, TheHeadsFilterHoldsEveryAddedHeadAndLittleElse) {
  SymbolTable table;
  EXPECT_FALSE(table.may_hold_head("op|add"));
  const std::vector<std::string> texts = {"op|add", "op|mul|scalar=f3ff0000000000000;side=sl", "?a", "commute-add"};
  for (const std::string& text : texts) (void)table.intern(text);
  for (const std::string& text : texts) EXPECT_TRUE(table.may_hold_head(SymbolTable::head_of(text))) << text;
  int wrong = 0;
  for (int k = 0; k < 1000; ++k) wrong += table.may_hold_head("op|f" + std::to_string(k)) ? 1 : 0;
  EXPECT_LE(wrong, 10);
}

TEST(SymbolTable, HandleCarriesShardAndOneBasedPosition) {
  SymbolTable table;
  // Positions within a shard are dense from 1, in insertion order.
  std::vector<std::vector<std::uint32_t>> by_shard(SymbolTable::kShardCount);
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t handle = table.intern(testing::numbered("text", i));
    by_shard[handle >> SymbolTable::kPositionBits].push_back(handle & SymbolTable::kPositionMask);
  }
  std::size_t used_shards = 0;
  for (const auto& positions : by_shard) {
    used_shards += positions.empty() ? 0 : 1;
    for (std::size_t k = 0; k < positions.size(); ++k) EXPECT_EQ(positions[k], k + 1);
  }
  EXPECT_GT(used_shards, 8u);
}

TEST(SymbolTable, TextsSurviveGrowthAcrossManyChunks) {
  SymbolTable table;
  std::vector<std::uint32_t> handles;
  for (int i = 0; i < 100000; ++i) handles.push_back(table.intern(testing::numbered("t", i)));
  for (int i = 0; i < 100000; i += 997) EXPECT_EQ(table.text(handles[i]), testing::numbered("t", i));
}

TEST(SymbolTable, UnknownHandleIsAnInternalError) {
  SymbolTable table;
  EXPECT_THROW(table.text(0), InternalError);
  EXPECT_THROW(table.text(12345), InternalError);
}

TEST(GlobalSymbol, ComparesByHandleAndReadsTextBack) {
  const GlobalSymbol a("op|mul");
  const GlobalSymbol b("op|mul");
  const GlobalSymbol c("op|mul|x");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a.text(), "op|mul");
  EXPECT_TRUE(GlobalSymbol().is_null());
}

TEST(SymbolTableConcurrency, EightThreadsAgreeOnHandles) {
  SymbolTable table;
  constexpr int kThreads = 8;
  constexpr int kTexts = 3000;
  // Every thread interns an overlapping range of texts and reads texts back
  // while the others insert.
  std::vector<std::vector<std::uint32_t>> seen(kThreads, std::vector<std::uint32_t>(2 * kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2 * kTexts; ++i) {
        // Thread t covers texts t*kTexts/4 ... and all threads share most of them.
        const int k = (i + t * (kTexts / 4)) % (2 * kTexts);
        const std::string text = testing::numbered("shared-", k);
        const std::uint32_t handle = table.intern(text);
        seen[t][k] = handle;
        if (table.text(handle) != text) ADD_FAILURE() << "text mismatch for " << text;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::uint32_t> distinct;
  for (int k = 0; k < 2 * kTexts; ++k) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][k], seen[0][k]) << "text " << k;
    distinct.insert(seen[0][k]);
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(2 * kTexts));
}

TEST(SymbolTableConcurrency, GlobalSymbolsFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::uint32_t> handles(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) GlobalSymbol(testing::numbered("g-", i * (t + 1)));
      handles[t] = GlobalSymbol("concurrency-common").handle();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::uint32_t handle : handles) EXPECT_EQ(handle, handles[0]);
}

}  // namespace
}  // namespace quorvel::egraph
