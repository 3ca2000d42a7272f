// Engine node inputs: 32-bit positions, two inline and more on the heap,
// with value semantics in every state.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "optimizer/engine/engine_inputs.hpp"
#include "support/internal_error.hpp"

namespace quorvel {
namespace {

// Sizes on both sides of the inline capacity.
const std::vector<NodeIds> kLists = {{}, {7}, {0, 0}, {1, 2, 3}, {4, 5, 6, 7, 8}, {0xFFFFFFFFu, 3, 0xFFFFFFFEu}};

TEST(EngineInputs, HoldTheirIdsAcrossCopiesMovesAndSwaps) {
  for (const NodeIds& a : kLists) {
    for (const NodeIds& b : kLists) {
      EngineInputs x(a), y(b);
      EXPECT_EQ(x.to_vector(), a);
      const EngineInputs copy = x;
      EXPECT_EQ(copy, x);
      EXPECT_EQ(x == y, a == b);
      x.swap(y);
      EXPECT_EQ(x.to_vector(), b);
      EXPECT_EQ(y.to_vector(), a);
      EngineInputs moved(std::move(y));
      EXPECT_EQ(moved.to_vector(), a);
      EXPECT_TRUE(y.empty());  // NOLINT(bugprone-use-after-move): a moved-from list is empty
      x = moved;
      EXPECT_EQ(x.to_vector(), a);
      x = EngineInputs(b);
      EXPECT_EQ(x.to_vector(), b);
      EXPECT_EQ(copy.to_vector(), a);
    }
  }
}

TEST(EngineInputs, AnIdBeyond32BitsIsAnInternalErrorNotATruncation) {
  for (const NodeIds& ids : std::vector<NodeIds>{{0x100000000ULL}, {1, 2, 3, 0x1FFFFFFFFULL}, {~std::uint64_t{0}}}) {
    EXPECT_THROW(EngineInputs{ids}, InternalError);
  }
}

}  // namespace
}  // namespace quorvel
