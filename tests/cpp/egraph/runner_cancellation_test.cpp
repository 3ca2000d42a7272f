// A runner polls the thread's cancellation check between rules and inside
// its searches, applications and rebuilds, and stops at the poll that says
// so.
#include <gtest/gtest.h>

#include <vector>

#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"
#include "support/cancellation.hpp"

namespace quorvel::egraph {
namespace {

using testing::leaf;
using testing::node;
using testing::rule;

struct FireAt {
  std::size_t fire_at = 0;  // 0: never
  std::size_t calls = 0;
  static bool cancelled(void* self) {
    auto* f = static_cast<FireAt*>(self);
    return ++f->calls == f->fire_at;
  }
};

// Sums of many leaves in both orders, so that every iteration commutes and
// merges.
Runner runner_over_sums() {
  EGraph g;
  for (int k = 0; k < 200; ++k) {
    node(g, "op|add", {leaf(g, testing::numbered("x", k)), leaf(g, testing::numbered("y", k))});
  }
  Runner runner;
  runner.set_egraph(std::move(g));
  return runner;
}

const std::vector<Rewrite>& rules() {
  static const std::vector<Rewrite> r = {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"),
                                         rule("assoc-add", "(op|add ?a (op|add ?b ?c))", "(op|add (op|add ?a ?b) ?c)")};
  return r;
}

std::size_t polls_of_full_run(std::uint32_t interval) {
  FireAt never;
  const CancellationCheck check{&FireAt::cancelled, &never, interval};
  const CancellationScope scope(check);
  Runner runner = runner_over_sums();
  runner.run(rules());
  EXPECT_TRUE(runner.stop_reason().has_value());
  return never.calls;
}

class RunnerCancellation : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RunnerCancellation, StopsAtThePollThatFires) {
  const std::size_t total = polls_of_full_run(1);
  const std::size_t n = GetParam();
  ASSERT_GE(total, n) << "a run this size polls at least that often";
  FireAt fire{n};
  const CancellationCheck check{&FireAt::cancelled, &fire, 1};
  const CancellationScope scope(check);
  Runner runner = runner_over_sums();
  EXPECT_THROW(runner.run(rules()), Cancelled);
  EXPECT_EQ(fire.calls, n);
}

INSTANTIATE_TEST_SUITE_P(Polls, RunnerCancellation, ::testing::Values(1, 2, 3, 17, 200, 1000));

TEST(RunnerCancellation, AsksLessOftenWithALongerInterval) {
  const std::size_t every = polls_of_full_run(1);
  const std::size_t sparse = polls_of_full_run(64);
  EXPECT_GT(sparse, 0u);
  EXPECT_LT(sparse, every);
}

TEST(RunnerCancellation, AnUninstalledCheckChangesNothing) {
  Runner watched = runner_over_sums();
  {
    FireAt never;
    const CancellationCheck check{&FireAt::cancelled, &never, 1};
    const CancellationScope scope(check);
    watched.run(rules());
  }
  Runner plain = runner_over_sums();
  plain.run(rules());
  EXPECT_EQ(watched.stop_reason(), plain.stop_reason());
  EXPECT_EQ(watched.iterations().size(), plain.iterations().size());
  EXPECT_EQ(watched.egraph().number_of_classes(), plain.egraph().number_of_classes());
}

}  // namespace
}  // namespace quorvel::egraph
