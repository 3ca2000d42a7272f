// Shared texts: copies share one buffer, compare by their bytes whoever
// holds them, and may be copied and dropped on several threads at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/shared_text.hpp"

namespace quorvel {
namespace {

// Bytes that outlive every text of these tests.
const std::string kLifelong("op|scale|factor=i3;mode=sfast\0tail", 34);

struct Holder {
  std::string name;
  SharedText text;
};

std::vector<Holder> holders() {
  return {{"Owned", SharedText(std::string_view(kLifelong))}, {"Borrowed", SharedText::borrowing(kLifelong)}};
}

TEST(SharedText, CopiesShareTheBytesAndOutliveTheOriginal) {
  for (const Holder& h : holders()) {
    SCOPED_TRACE(h.name);
    std::vector<SharedText> copies;
    {
      SharedText original = h.text;
      for (int i = 0; i < 3; ++i) copies.push_back(original);
      SharedText assigned;
      assigned = original;
      copies.push_back(std::move(assigned));
      EXPECT_TRUE(assigned.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty
    }
    for (const SharedText& c : copies) {
      EXPECT_EQ(c.data(), h.text.data());
      EXPECT_EQ(c.view(), std::string_view(kLifelong));
    }
  }
  // An owned text copies the bytes it is made from; a borrowed one does not.
  EXPECT_NE(holders()[0].text.data(), kLifelong.data());
  EXPECT_EQ(holders()[1].text.data(), kLifelong.data());
}

TEST(SharedText, EqualityIsByBytesWhateverHoldsThem) {
  const std::string nul_inside("a\0b", 3);
  struct Case {
    SharedText a;
    SharedText b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {SharedText(std::string_view(kLifelong)), SharedText::borrowing(kLifelong), true},
      {SharedText("op|a"), SharedText(std::string("op|a")), true},
      {SharedText(), SharedText(""), true},
      {SharedText(), SharedText::borrowing(""), true},
      {SharedText(std::string_view(nul_inside)), SharedText("a"), false},
      {SharedText("op|a"), SharedText("op|ab"), false},
      {SharedText("op|a"), SharedText("op|b"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a.str() + " / " + c.b.str());
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    EXPECT_EQ(c.a == c.b.view(), c.equal);
  }
}

TEST(SharedText, SelfAssignmentKeepsTheText) {
  SharedText t("op|keep");
  const SharedText& same = t;
  t = same;
  t = std::move(t);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(t, "op|keep");
}

// Copies of owned texts taken and dropped on several threads while the
// first holders drop theirs: the count must stay exact (ASan sees a
// premature free, TSan a racy count), and the last holder, a worker, frees.
TEST(SharedTextConcurrency, CopiesTakenAndDroppedOnManyThreads) {
  std::vector<std::string> expected;
  std::vector<SharedText> seeds;
  for (int s = 0; s < 2; ++s) {
    expected.push_back("op|token-" + std::to_string(s) + std::string(40, 'x'));
    seeds.emplace_back(expected.back());
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    // Each worker starts from its own copy, taken on this thread.
    threads.emplace_back([own = seeds[t % 2], &want = expected[t % 2], &bad = mismatches[t]] {
      std::vector<SharedText> mine;
      for (int i = 0; i < 20000; ++i) {
        mine.push_back(i % 2 ? own : mine.empty() ? own : mine.back());
        if (mine.size() > 64) mine.erase(mine.begin(), mine.begin() + 32);
      }
      for (const SharedText& c : mine) bad += c != want;
    });
  }
  seeds.clear();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quorvel
