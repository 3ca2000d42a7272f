#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "egraph/backoff_scheduler.hpp"
#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"

namespace quorvel::egraph {
namespace {

using testing::leaf;
using testing::node;
using testing::rule;
using testing::sym;

// count classes f(x_k), each over its own leaf.
EGraph f_classes(int count) {
  EGraph g;
  for (int k = 0; k < count; ++k) node(g, "f", {leaf(g, testing::numbered("x", k))});
  return g;
}

Runner& run(Runner& runner, const std::vector<Rewrite>& rules) { return runner.run(rules); }

TEST(Runner, SaturatesInIterationZeroWhenNoRuleMatches) {
  Runner runner;
  EGraph g;
  node(g, "op|sub", {leaf(g, "a"), leaf(g, "b")});
  runner.set_egraph(std::move(g));
  run(runner, {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].egraph_nodes, 3u);
  EXPECT_EQ(runner.iterations()[0].egraph_classes, 3u);
}

TEST(Runner, CommuteThenSaturate) {
  Runner runner;
  EGraph g;
  const Id add = node(g, "op|add", {leaf(g, "a"), leaf(g, "b")});
  runner.set_egraph(std::move(g));
  run(runner, {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  ASSERT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(runner.iterations()[0].applied_count(sym("commute-add")), 1u);
  EXPECT_TRUE(runner.iterations()[1].applied.empty());
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.egraph().eclass(add).nodes.size(), 2u);
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(Runner, StopsAtTheIterationLimitWhileTheGraphKeepsGrowing) {
  Runner runner;
  runner.set_egraph(f_classes(1)).set_iter_limit(12);
  run(runner, {rule("grow", "(f ?x)", "(f (g ?x))")});
  EXPECT_EQ(runner.iterations().size(), 12u);
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(12));
  for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(runner.iterations()[i].applied_count(sym("grow")), 1u) << i;
}

TEST(Runner, NodeLimitStopsBetweenRulesAndStillRebuilds) {
  Runner runner;
  runner.set_egraph(f_classes(10)).set_node_limit(30);
  run(runner, {rule("first", "(f ?x)", "(h (h ?x))"), rule("second", "(f ?x)", "(k ?x)")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(40));
  const Iteration& record = runner.iterations()[0];
  EXPECT_EQ(record.applied_count(sym("first")), 10u);
  EXPECT_EQ(record.applied_count(sym("second")), 0u);
  const EGraph& g = runner.egraph();
  EXPECT_TRUE(g.is_clean());
  const Id x0 = *g.lookup(SymbolLang(sym("x0")));
  EXPECT_FALSE(g.lookup(SymbolLang(sym("k"), {x0})).has_value());
  const Id h = *g.lookup(SymbolLang(sym("h"), {x0}));
  EXPECT_EQ(g.lookup(SymbolLang(sym("h"), {h})), g.lookup(SymbolLang(sym("f"), {x0})));
}

TEST(Runner, TimeLimitStopsAfterTheFirstRuleSearch) {
  Runner runner;
  EGraph g;
  node(g, "op|add", {leaf(g, "a"), leaf(g, "b")});
  runner.set_egraph(std::move(g)).set_time_limit(std::chrono::milliseconds(1));
  runner.add_hook([](Runner&) -> std::optional<std::string> {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::nullopt;
  });
  run(runner, {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind(), StopReason::Kind::TimeLimit);
  EXPECT_GE(runner.stop_reason()->seconds(), 0.001);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
}

TEST(Runner, FailingHookStopsWithItsText) {
  Runner runner;
  runner.set_egraph(f_classes(1));
  runner.add_hook([](Runner&) -> std::optional<std::string> { return "hook failed"; });
  run(runner, {rule("grow", "(f ?x)", "(f (g ?x))")});
  EXPECT_EQ(runner.stop_reason(), StopReason::other("hook failed"));
  EXPECT_EQ(runner.iterations().size(), 1u);
}

TEST(Runner, RunningTwiceIsAnInternalError) {
  Runner runner;
  std::vector<Rewrite> rules;
  runner.run(rules);
  EXPECT_THROW(runner.run(rules), InternalError);
}

TEST(Runner, DuplicatedRuleNamesWarnOnStandardErrorAndShareStats) {
  auto owned = std::make_unique<BackoffScheduler>();
  BackoffScheduler* scheduler = owned.get();
  Runner runner;
  runner.set_egraph(f_classes(3)).set_scheduler(std::move(owned));
  const std::vector<Rewrite> rules = {rule("dup", "(f ?x)", "(g ?x)"), rule("solo", "(f ?x)", "(h ?x)"),
                                      rule("dup", "(f ?x)", "(k ?x)"), rule("other", "(k ?x)", "(m ?x)"),
                                      rule("other", "(z ?x)", "?x"), rule("dup", "(z ?x)", "?x")};
  ::testing::internal::CaptureStderr();
  runner.run(rules);
  const std::string warning = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(warning,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 3 times\n"
            "Rule 'other' appears 2 times\n");
  ASSERT_EQ(scheduler->all_stats().size(), 3u);
  const std::size_t iterations = runner.iterations().size();
  EXPECT_EQ(scheduler->stats(sym("dup"))->times_applied, 3 * iterations);
  EXPECT_EQ(scheduler->stats(sym("solo"))->times_applied, iterations);
  // Both "dup" rules applying in iteration 0 add up under the one name.
  EXPECT_EQ(runner.iterations()[0].applied_count(sym("dup")), 6u);
}

TEST(Runner, DistinctRuleNamesWriteNothing) {
  ::testing::internal::CaptureStderr();
  Runner runner;
  runner.set_egraph(f_classes(2));
  run(runner, {rule("a", "(f ?x)", "(g ?x)"), rule("b", "(g ?x)", "(h ?x)")});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Runner, RuleOverThresholdIsBannedThenFastForwardedAndApplied) {
  auto owned = std::make_unique<BackoffScheduler>();
  BackoffScheduler* scheduler = owned.get();
  Runner runner;
  runner.set_egraph(f_classes(1001)).set_scheduler(std::move(owned));
  run(runner, {rule("f-to-g", "(f ?x)", "(g ?x)")});
  ASSERT_EQ(runner.iterations().size(), 3u);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_EQ(runner.iterations()[1].applied_count(sym("f-to-g")), 1001u);
  EXPECT_TRUE(runner.iterations()[2].applied.empty());
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  const RuleStats* stats = scheduler->stats(sym("f-to-g"));
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(stats->times_applied, 2u);
}

TEST(Runner, RuleAtThresholdIsAppliedInIterationZero) {
  Runner runner;
  runner.set_egraph(f_classes(1000));
  run(runner, {rule("f-to-g", "(f ?x)", "(g ?x)")});
  EXPECT_EQ(runner.iterations()[0].applied_count(sym("f-to-g")), 1000u);
  EXPECT_EQ(runner.iterations().size(), 2u);
}

// The scheduler on its own: thresholds, ban lengths and fast-forwarding.
TEST(BackoffScheduler, BanUnbanSequence) {
  EGraph g = f_classes(2001);
  g.rebuild();
  const Rewrite r = rule("f-to-g", "(f ?x)", "(g ?x)");
  const Rewrite other = rule("other", "(q ?x)", "?x");
  BackoffScheduler scheduler;

  // Iteration 0: 2001 > 1000, banned for 5 iterations.
  EXPECT_TRUE(scheduler.search_rewrite(0, g, r).empty());
  EXPECT_TRUE(scheduler.search_rewrite(0, g, other).empty());
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->banned_until, 5u);
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->times_banned, 1u);
  // Still banned in iteration 4: not even searched.
  EXPECT_TRUE(scheduler.search_rewrite(4, g, r).empty());
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->times_banned, 1u);

  // can_stop(0) fast-forwards the ban by 5 to end at 0 and refuses to stop.
  EXPECT_FALSE(scheduler.can_stop(0));
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->banned_until, 0u);

  // Iteration 1: threshold 2000, 2001 matches: banned for 10 iterations.
  EXPECT_TRUE(scheduler.search_rewrite(1, g, r).empty());
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->banned_until, 11u);
  EXPECT_FALSE(scheduler.can_stop(1));
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->banned_until, 1u);

  // Iteration 2: threshold 4000: all 2001 matches are handed on.
  EXPECT_EQ(scheduler.search_rewrite(2, g, r).total_substs(), 2001u);
  EXPECT_EQ(scheduler.stats(sym("f-to-g"))->times_applied, 1u);
  EXPECT_EQ(scheduler.stats(sym("other"))->times_applied, 1u);
  EXPECT_TRUE(scheduler.can_stop(2));
}

struct ThresholdCase {
  int matches;
  bool banned;
};

class BackoffThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(BackoffThreshold, FirstThresholdIsOneThousand) {
  EGraph g = f_classes(GetParam().matches);
  g.rebuild();
  BackoffScheduler scheduler;
  const SearchResults matches = scheduler.search_rewrite(0, g, rule("r", "(f ?x)", "(g ?x)"));
  EXPECT_EQ(matches.empty(), GetParam().banned);
  EXPECT_EQ(scheduler.stats(sym("r"))->banned_until, GetParam().banned ? 5u : 0u);
  EXPECT_EQ(scheduler.can_stop(0), !GetParam().banned);
}

INSTANTIATE_TEST_SUITE_P(Counts, BackoffThreshold,
                         ::testing::Values(ThresholdCase{1, false}, ThresholdCase{1000, false},
                                           ThresholdCase{1001, true}, ThresholdCase{1500, true}));

TEST(BackoffScheduler, CustomLimitsAndHugeBanCountsSaturate) {
  EGraph g = f_classes(3);
  g.rebuild();
  BackoffScheduler scheduler(2, 1);
  const Rewrite r = rule("r", "(f ?x)", "(g ?x)");
  // 3 > 2: banned for 1 iteration; then 3 <= 4.
  EXPECT_TRUE(scheduler.search_rewrite(0, g, r).empty());
  EXPECT_EQ(scheduler.stats(sym("r"))->banned_until, 1u);
  EXPECT_EQ(scheduler.search_rewrite(1, g, r).total_substs(), 3u);
}

TEST(StopReason, Renders) {
  EXPECT_EQ(StopReason::saturated().to_string(), "Saturated");
  EXPECT_EQ(StopReason::iteration_limit(12).to_string(), "IterationLimit(12)");
  EXPECT_EQ(StopReason::node_limit(40).to_string(), "NodeLimit(40)");
}

}  // namespace
}  // namespace quorvel::egraph
