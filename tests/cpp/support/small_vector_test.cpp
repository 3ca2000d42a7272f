// The inline-first vector: equality wherever the elements live, growing
// operations handed elements of the vector itself (inline and on the heap,
// at full capacity, with trivial and non-trivial elements; AddressSanitizer
// sees a read of the freed buffer), insertion anywhere, and the bounds
// assertions of debug builds.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/small_vector.hpp"

namespace quorvel {
namespace {

TEST(SmallVector, EqualityIgnoresWhereTheElementsLive) {
  SmallVector<int, 2> inline_held{1, 2};
  SmallVector<int, 2> spilled{1, 2, 3};
  spilled.pop_back();  // on the heap, holding the same two elements
  EXPECT_GT(spilled.capacity(), 2u);
  EXPECT_EQ(inline_held, spilled);
  spilled.push_back(4);
  EXPECT_FALSE(inline_held == spilled);
  EXPECT_FALSE((SmallVector<int, 2>{1, 3}) == inline_held);
}

template <class V>
std::vector<typename V::value_type> contents(const V& v) {
  return std::vector<typename V::value_type>(v.begin(), v.end());
}

// A vector filled to its capacity: inline (two elements) or on the heap
// (grown once, then filled up).
template <class T>
SmallVector<T, 2> full(const std::vector<T>& start, bool on_heap) {
  SmallVector<T, 2> v;
  v.append(start.begin(), start.end());
  if (on_heap) {
    v.push_back(start[0]);
    while (v.size() < v.capacity()) v.push_back(start[v.size() % start.size()]);
  }
  EXPECT_EQ(v.size(), v.capacity());
  return v;
}

// Long enough not to fit a std::string's own inline buffer: a read of a
// destroyed or moved-from string shows.
std::vector<std::string> words() {
  return {"the first element, longer than any inline string", "the second element, as long as the first one"};
}

struct Growth {
  const char* name;
  // Applies the operation to v, handing it elements of v, and returns what
  // v must hold afterwards, computed on a copy in a std::vector.
  void (*grow)(SmallVector<std::string, 2>& v, std::vector<std::string>& expected);
};

const Growth kGrowths[] = {
    {"PushBackCopyOfFront",
     [](auto& v, auto& e) {
       e.push_back(e.front());
       v.push_back(v.front());
     }},
    {"PushBackCopyOfBack",
     [](auto& v, auto& e) {
       e.push_back(e.back());
       v.push_back(v.back());
     }},
    {"PushBackMovedFront",
     [](auto& v, auto& e) {
       e.push_back(e.front());
       e.front().clear();
       v.push_back(std::move(v[0]));
       v[0].clear();  // whatever a move left there
     }},
    {"EmplaceBackFromAnElement",
     [](auto& v, auto& e) {
       e.emplace_back(e[1], 4, 10);
       v.emplace_back(v[1], 4, 10);  // std::string(const std::string&, pos, count)
     }},
    {"AppendItself",
     [](auto& v, auto& e) {
       const std::vector<std::string> copy = e;
       e.insert(e.end(), copy.begin(), copy.end());
       v.append(v.begin(), v.end());
     }},
    {"AppendItsTail",
     [](auto& v, auto& e) {
       const std::vector<std::string> copy(e.begin() + 1, e.end());
       e.insert(e.end(), copy.begin(), copy.end());
       v.append(v.begin() + 1, v.end());
     }},
    {"InsertBackAtFront",
     [](auto& v, auto& e) {
       const std::string copy = e.back();
       e.insert(e.begin(), copy);
       v.insert(v.begin(), v.back());
     }},
    {"InsertFrontInTheMiddle",
     [](auto& v, auto& e) {
       const std::string copy = e.front();
       e.insert(e.begin() + 1, copy);
       v.insert(v.begin() + 1, v.front());
     }},
    {"InsertBackAtTheEnd",
     [](auto& v, auto& e) {
       const std::string copy = e.back();
       e.insert(e.end(), copy);
       v.insert(v.end(), v.back());
     }},
    {"InsertMovedBackAtFront",
     [](auto& v, auto& e) {
       std::string moved = std::move(e.back());
       e.back().clear();
       e.insert(e.begin(), std::move(moved));
       v.insert(v.begin(), std::move(v.back()));
       v.back().clear();
     }},
};

void PrintTo(const Growth& growth, std::ostream* out) { *out << growth.name; }

class GrowingFromItself : public ::testing::TestWithParam<std::tuple<Growth, bool>> {};

TEST_P(GrowingFromItself, ReadsTheArgumentBeforeTheOldBufferGoes) {
  const auto& [growth, on_heap] = GetParam();
  SmallVector<std::string, 2> v = full(words(), on_heap);
  const std::size_t capacity = v.capacity();
  std::vector<std::string> expected = contents(v);
  growth.grow(v, expected);
  EXPECT_GT(v.capacity(), capacity) << "the operation is meant to grow the vector";
  EXPECT_EQ(contents(v), expected);
}

// Within the capacity nothing moves to a new buffer, but an insertion
// shifts the element its argument may refer to.
TEST_P(GrowingFromItself, WithRoomToSpareGivesTheSameElements) {
  const auto& [growth, on_heap] = GetParam();
  SmallVector<std::string, 2> v = full(words(), on_heap);
  v.reserve(v.capacity() * 3);
  const std::size_t capacity = v.capacity();
  std::vector<std::string> expected = contents(v);
  growth.grow(v, expected);
  EXPECT_EQ(v.capacity(), capacity);
  EXPECT_EQ(contents(v), expected);
}

INSTANTIATE_TEST_SUITE_P(Operations, GrowingFromItself,
                         ::testing::Combine(::testing::ValuesIn(kGrowths), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "OnTheHeap" : "Inline");
                         });

TEST(SmallVector, TrivialElementsAppendedToThemselves) {
  // {1, 2} appended to itself once read a freed buffer and gave 1 2 16 24608.
  SmallVector<int, 2> pair{1, 2};
  pair.append(pair.begin(), pair.end());
  EXPECT_EQ(contents(pair), (std::vector<int>{1, 2, 1, 2}));
  pair.push_back(pair[0]);
  pair.push_back(pair[4]);
  pair.push_back(pair.back());
  pair.emplace_back(pair[1]);
  EXPECT_EQ(contents(pair), (std::vector<int>{1, 2, 1, 2, 1, 1, 1, 2}));
  ASSERT_EQ(pair.size(), pair.capacity());
  pair.insert(pair.begin() + 3, pair[7]);
  EXPECT_EQ(contents(pair), (std::vector<int>{1, 2, 1, 2, 2, 1, 1, 1, 2}));
}

TEST(SmallVector, InsertReturnsWhereTheElementIs) {
  SmallVector<int, 4> v{10, 20, 30};
  int* at = v.insert(v.begin() + 1, 15);
  EXPECT_EQ(at, v.begin() + 1);
  EXPECT_EQ(contents(v), (std::vector<int>{10, 15, 20, 30}));
  at = v.insert(v.begin(), 5);  // full: grows
  EXPECT_EQ(at, v.begin());
  at = v.insert(v.end(), 40);
  EXPECT_EQ(at, v.end() - 1);
  EXPECT_EQ(contents(v), (std::vector<int>{5, 10, 15, 20, 30, 40}));
}

// Copying an element that throws: a growing operation that fails changes
// nothing, in the old buffer or the vector's size.
struct Fragile {
  std::string text;
  bool explode = false;
  Fragile(std::string t, bool e = false) : text(std::move(t)), explode(e) {}  // NOLINT
  Fragile(const Fragile& other) : text(other.text) {
    if (other.explode) throw std::runtime_error("copy");
  }
  Fragile(Fragile&&) noexcept = default;
  Fragile& operator=(const Fragile&) = default;
  Fragile& operator=(Fragile&&) noexcept = default;
  friend bool operator==(const Fragile& a, const Fragile& b) { return a.text == b.text; }
};

TEST(SmallVector, FailedGrowthLeavesTheVectorAsItWas) {
  SmallVector<Fragile, 2> v{Fragile(words()[0]), Fragile(words()[1])};
  v[1].explode = true;
  EXPECT_THROW(v.push_back(v[1]), std::runtime_error);
  EXPECT_THROW(v.insert(v.begin(), v[1]), std::runtime_error);
  EXPECT_THROW(v.append(v.begin(), v.end()), std::runtime_error);
  EXPECT_EQ(v.capacity(), 2u);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].text, words()[0]);
  EXPECT_EQ(v[1].text, words()[1]);
  // Within the capacity an append that fails half-way keeps none of it.
  v.reserve(8);
  v[1].explode = false;
  std::vector<Fragile> tail;
  tail.reserve(3);
  tail.emplace_back(words()[0]);
  tail.emplace_back(words()[1]);
  tail.emplace_back(words()[1], true);
  EXPECT_THROW(v.append(tail.begin(), tail.end()), std::runtime_error);
  EXPECT_EQ(v.size(), 2u);
}

#ifndef NDEBUG
using SmallVectorDeathTest = ::testing::Test;

TEST_F(SmallVectorDeathTest, OutOfBoundsAccessIsCaughtInDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SmallVector<int, 2> v{1, 2};
  SmallVector<int, 2> none;
  EXPECT_DEATH((void)v[2], "index in range");
  EXPECT_DEATH((void)std::as_const(v)[5], "index in range");
  EXPECT_DEATH((void)none.front(), "front of a non-empty vector");
  EXPECT_DEATH((void)none.back(), "back of a non-empty vector");
  EXPECT_DEATH(none.pop_back(), "pop_back of a non-empty vector");
  EXPECT_DEATH(v.truncate(3), "truncate to at most its size");
  EXPECT_DEATH(v.erase_to_end(v.end() + 1), "erase_to_end within the vector");
  EXPECT_DEATH((void)v.insert(v.end() + 1, 3), "insert within the vector");
  // In range, nothing fires.
  EXPECT_EQ(v[1] + v.front() + v.back(), 5);
}
#endif

}  // namespace
}  // namespace quorvel
