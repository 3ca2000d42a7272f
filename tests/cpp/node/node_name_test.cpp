// Node names across the inline/heap boundary: text kept exactly (NULs
// included), equality by content whatever the storage, and copies and
// moves that leave both sides usable.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "node/node_key.hpp"
#include "node/node_name.hpp"

namespace quorvel {
namespace {

std::vector<std::string> sample_texts() {
  return {"",
          "a",
          std::string("a\0", 2),
          std::string(13, 'x'),
          std::string(14, 'x'),  // the longest inline name
          std::string(15, 'x'),  // the shortest heap name
          std::string(14, 'x') + "y",
          std::string(1000, 'z'),
          "na\xc3\xafve"};
}

TEST(NodeName, KeepsTextExactly) {
  for (const std::string& text : sample_texts()) {
    const NodeName name(text);
    EXPECT_EQ(name.view(), text);
    EXPECT_EQ(name.size(), text.size());
    EXPECT_EQ(name.empty(), text.empty());
  }
  EXPECT_EQ(NodeName().view(), "");
}

TEST(NodeName, EqualExactlyWhenTextsAre) {
  const std::vector<std::string> texts = sample_texts();
  for (const std::string& a : texts) {
    for (const std::string& b : texts) EXPECT_EQ(NodeName(a) == NodeName(b), a == b) << a.size() << " " << b.size();
  }
  EXPECT_FALSE(NodeName("a") == NodeName(std::string("a\0", 2)));
}

TEST(NodeName, CopiesAndMovesLeaveBothSidesValid) {
  for (const std::string& text : sample_texts()) {
    NodeName original(text);
    NodeName copy(original);
    EXPECT_EQ(copy.view(), text);
    EXPECT_EQ(original.view(), text);
    NodeName moved(std::move(original));
    EXPECT_EQ(moved.view(), text);
    EXPECT_EQ(original.view(), "");  // NOLINT: a moved-from name is empty
    NodeName assigned("other text that is long enough for the heap");
    assigned = moved;
    EXPECT_EQ(assigned.view(), text);
    assigned = NodeName("s");
    EXPECT_EQ(assigned.view(), "s");
  }
}

TEST(NodeName, KeysWithLongAndShortNamesCompareAndHashByText) {
  const std::string long_name(40, 'n');
  const NodeKey a = NodeKey::op(long_name, {}, {0, 1, 2});
  const NodeKey b = NodeKey::op(std::string(long_name), {}, {0, 1, 2});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(HashKey{7, 8}), b.hash(HashKey{7, 8}));
  EXPECT_EQ(a.name(), long_name);
  EXPECT_FALSE(a == NodeKey::op(long_name + "x", {}, {0, 1, 2}));
  EXPECT_FALSE(a == NodeKey::op(long_name, {}, {0, 1}));
  EXPECT_FALSE(a == NodeKey::op(long_name, {}, {0, 1, 2, 3}));
}

}  // namespace
}  // namespace quorvel
