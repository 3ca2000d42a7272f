// The prototypes table: the first node offered under a key stands for it,
// through any amount of growth, and a key nobody offered is an internal
// error rather than some other node.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "optimizer/mod/prototypes.hpp"
#include "support/internal_error.hpp"

namespace quorvel {
namespace {

std::vector<NodeKey> sources(std::size_t n) {
  std::vector<NodeKey> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(NodeKey::source("s" + std::to_string(i), {}));
  return keys;
}

egraph::GlobalSymbol key(std::size_t k) { return egraph::GlobalSymbol("prototypes-test-key-" + std::to_string(k)); }

TEST(Prototypes, TheFirstOfferStandsForItsKeyThroughGrowth) {
  constexpr std::size_t kKeys = 5000;
  const std::vector<NodeKey> nodes = sources(2 * kKeys);
  for (const bool reserved : {false, true}) {
    Prototypes prototypes(nodes);
    if (reserved) prototypes.reserve(kKeys);
    for (std::size_t k = 0; k < kKeys; ++k) prototypes.offer(key(k), k);
    for (std::size_t k = 0; k < kKeys; ++k) prototypes.offer(key(k), kKeys + k);  // later offers lose
    for (std::size_t k = 0; k < kKeys; ++k) {
      ASSERT_EQ(&prototypes.at(key(k)), &nodes[k]) << k << (reserved ? " reserved" : "");
    }
  }
}

TEST(Prototypes, AKeyNobodyOfferedIsAnInternalError) {
  const std::vector<NodeKey> nodes = sources(2);
  Prototypes prototypes(nodes);
  EXPECT_THROW(prototypes.at(key(0)), InternalError);  // an empty table
  prototypes.offer(key(0), 1);
  EXPECT_THROW(prototypes.at(key(1)), InternalError);
  EXPECT_THROW(prototypes.at(egraph::GlobalSymbol()), InternalError);
  EXPECT_THROW(prototypes.offer(egraph::GlobalSymbol(), 0), InternalError);
  EXPECT_EQ(&prototypes.at(key(0)), &nodes[1]);
}

}  // namespace
}  // namespace quorvel
