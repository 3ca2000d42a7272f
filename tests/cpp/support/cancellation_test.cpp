// The poller asks the installed check once every `interval` units of work,
// throws Cancelled when it says so, and does nothing without a check.
#include <gtest/gtest.h>

#include "support/cancellation.hpp"

namespace quorvel {
namespace {

struct Counting {
  std::size_t calls = 0;
  bool answer = false;
  static bool cancelled(void* self) {
    auto* c = static_cast<Counting*>(self);
    ++c->calls;
    return c->answer;
  }
};

class PollerInterval : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PollerInterval, AsksOncePerIntervalOfTicks) {
  const std::uint32_t interval = GetParam();
  Counting counting;
  const CancellationCheck check{&Counting::cancelled, &counting, interval};
  const CancellationScope scope(check);
  CancellationPoller poller;
  for (std::uint32_t k = 0; k < 10 * interval - 1; ++k) poller.tick();
  EXPECT_EQ(counting.calls, 9u);
  poller.tick();
  EXPECT_EQ(counting.calls, 10u);
}

TEST_P(PollerInterval, ChunksCountTheirUnits) {
  const std::uint32_t interval = GetParam();
  Counting counting;
  const CancellationCheck check{&Counting::cancelled, &counting, interval};
  const CancellationScope scope(check);
  CancellationPoller poller;
  if (interval > 1) {
    poller.tick(interval - 1);
    EXPECT_EQ(counting.calls, 0u);
  }
  poller.tick(interval);
  EXPECT_EQ(counting.calls, 1u);
}

INSTANTIATE_TEST_SUITE_P(Intervals, PollerInterval, ::testing::Values(1u, 2u, 7u, 4096u));

TEST(Poller, ThrowsCancelledWhenTheCheckSaysSo) {
  Counting counting{0, true};
  const CancellationCheck check{&Counting::cancelled, &counting, 3};
  const CancellationScope scope(check);
  CancellationPoller poller;
  poller.tick();
  poller.tick();
  EXPECT_THROW(poller.tick(), Cancelled);
}

TEST(Poller, WithoutACheckNeverThrows) {
  ASSERT_EQ(current_cancellation(), nullptr);
  CancellationPoller poller;
  EXPECT_NO_THROW({
    for (int k = 0; k < 100000; ++k) poller.tick();
    poller.tick(std::size_t{1} << 40);
  });
}

TEST(Scope, NestsAndRestoresThePreviousCheck) {
  Counting outer_count;
  Counting inner_count;
  const CancellationCheck outer{&Counting::cancelled, &outer_count, 1};
  const CancellationCheck inner{&Counting::cancelled, &inner_count, 1};
  {
    const CancellationScope a(outer);
    {
      const CancellationScope b(inner);
      EXPECT_EQ(current_cancellation(), &inner);
      CancellationPoller().tick();
    }
    EXPECT_EQ(current_cancellation(), &outer);
    CancellationPoller().tick();
  }
  EXPECT_EQ(current_cancellation(), nullptr);
  EXPECT_EQ(inner_count.calls, 1u);
  EXPECT_EQ(outer_count.calls, 1u);
}

}  // namespace
}  // namespace quorvel
