// Reading written blobs back: same keys under the same ids, identical bytes
// when written again, and the reader's tolerances.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <span>
#include <ostream>
#include <string>
#include <vector>

#include "blob_bytes.hpp"
#include "serialize/blob_reader.hpp"
#include "serialize/blob_format.hpp"
#include "serialize/blob_writer.hpp"
#include "serialize/record_encoding.hpp"

namespace quorvel {
namespace {

using blob_test::Bytes;
using blob_test::header;

void add(GraphStore& store, NodeKey key) { ASSERT_TRUE(store.intern(std::move(key)).ok()); }

// Every variant, every value kind, empty and non-ASCII texts, repeated
// inputs, both preprocessing_ref forms and the widest stage reference.
void fill_every_kind(GraphStore& s) {
  add(s, NodeKey::source("tbl", ParamMap({{"path", ParamValue::text("/d/é")}, {"n", ParamValue::integer(-5)}})));
  add(s, NodeKey::source("", {}));
  add(s, NodeKey::op("add", ParamMap({{"x", ParamValue::floating(0.5)}, {"on", ParamValue::boolean(true)}}), {0, 1, 0}));
  add(s, NodeKey::reduction("sum", {}, {2}));
  add(s, NodeKey::external({"onnx", "h1", "ort", "1.2", "{}", std::nullopt}, {}, {3}));
  add(s, NodeKey::external({"onnx", "h1", "ort", "1.2", "{}", ""}, ParamMap({{"b", ParamValue::integer(1)}}), {3}));
  add(s, NodeKey::stage({2, 3}, {StageOp{"op|a", {StageRef::input(0)}},
                                 StageOp{"op|b|k=i1", {StageRef::member(0), StageRef::input(1)}},
                                 StageOp{"op|c", {StageRef::input(0xFFFFFFFFU)}}}));  // the widest index
  add(s, NodeKey::exchange(ParamMap({{"scheme", ParamValue::text("hash")}}), {6}));
  add(s, NodeKey::join({}, {7, 4}));
  add(s, NodeKey::op("ñ名🙂", {}, {}));
}

std::unique_ptr<GraphStore> read_ok(std::string_view blob) {
  auto store = deserialize(blob);
  EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().message());
  return store.ok() ? std::move(store).value() : std::make_unique<GraphStore>();
}

// The size of the store's blob with `outputs` output ids, measured record
// by record.
std::size_t measured_size(const GraphStore& store, std::size_t outputs) {
  EncodedSize exact;
  exact.bytes = kBlobHeaderBytes;
  const Snapshot snap = store.snapshot();
  for (const NodeKey& key : snap.nodes) measure_record(exact, key);
  exact.add_ids(outputs);
  return exact.bytes;
}

TEST(BlobRoundTrip, EveryKindKeepsKeysIdsMarksAndBytes) {
  GraphStore original;
  fill_every_kind(original);
  ASSERT_TRUE(original.mark_output(8).ok());
  ASSERT_TRUE(original.mark_output(5).ok());
  const std::string blob = serialize_with_marks(original);
  auto copy = read_ok(blob);
  EXPECT_EQ(copy->snapshot().nodes, original.snapshot().nodes);
  EXPECT_EQ(copy->outputs(), (NodeIds{8, 5}));
  EXPECT_EQ(serialize_with_marks(*copy), blob);
}

// A graph large enough that the writer sizes its blob by a bound and cuts
// it to size: the same bytes as measuring would give, and they read back.
TEST(BlobRoundTrip, ALargeGraphSizedByItsBoundIsExactlyItsRecords) {
  GraphStore original;
  const std::size_t n = BlobPlan::kGrowingNodes + 3;
  std::vector<NodeKey> keys;
  keys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    ParamMap params({{"i", ParamValue::integer(static_cast<std::int64_t>(i))},
                     {"s", ParamValue::text(std::string(i % 200, 't'))},
                     {std::string(i % 150, 'n'), ParamValue::boolean(i % 2 == 0)}});
    keys.push_back(i == 0 ? NodeKey::source("s", std::move(params))
                          : NodeKey::op("op" + std::to_string(i % 7), std::move(params), {i - 1, i / 2}));
  }
  ASSERT_TRUE(original.intern_batch(keys).ok());
  ASSERT_TRUE(original.mark_output(n - 1).ok());
  ASSERT_FALSE(BlobPlan(original).measured());
  const std::string blob = serialize_with_marks(original);
  EXPECT_EQ(blob.size(), measured_size(original, 1));
  auto copy = read_ok(blob);
  EXPECT_EQ(copy->node_count(), n);
  EXPECT_EQ(serialize_with_marks(*copy), blob);
}

// A buffer that moves to a new address whenever it is asked for room,
// keeping what was written: a writer that kept a pointer into the old room
// writes into freed memory.
class MovingBuffer final : public BlobBuffer {
 public:
  std::span<char> room_for(std::size_t size) override {
    const std::size_t room = std::max(size, current_ ? current_->size() * 5 / 4 : 0);
    auto next = std::make_unique<std::string>(room, '\0');
    if (current_) std::copy_n(current_->data(), std::min(size, current_->size()), next->data());
    current_ = std::move(next);
    ++calls_;
    return {current_->data(), current_->size()};
  }
  std::string take(std::size_t size) const { return current_->substr(0, size); }
  int calls() const { return calls_; }

 private:
  std::unique_ptr<std::string> current_;
  int calls_ = 0;
};

// A large graph whose first records are far shorter than the rest, so that
// the size expected from them is far too small: the writer grows its
// buffer, wherever that moves it, and writes the same bytes as measuring.
TEST(BlobRoundTrip, ALargeBlobOutgrowingItsExpectedSizeGrowsItsBuffer) {
  GraphStore original;
  const std::size_t n = BlobPlan::kGrowingNodes + 5;
  std::vector<NodeKey> keys;
  keys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i < 8192) {
      keys.push_back(NodeKey::source(std::to_string(i), {}));
    } else {
      keys.push_back(NodeKey::op("op", ParamMap({{"text", ParamValue::text(std::string(40 + i % 50, 'x'))}}),
                                 {i - 1, i - 2, i / 2}));
    }
  }
  ASSERT_TRUE(original.intern_batch(keys).ok());
  const NodeIds outputs{n - 1, 3, n - 1};
  const BlobPlan plan(original.frozen().nodes, outputs);
  ASSERT_FALSE(plan.measured());
  MovingBuffer buffer;
  const std::size_t size = plan.write(buffer);
  EXPECT_GT(size, plan.expected_size());
  EXPECT_GT(buffer.calls(), 2);
  ASSERT_EQ(size, measured_size(original, outputs.size()));
  const std::string blob = buffer.take(size);
  EXPECT_EQ(blob, serialize_with(original, outputs));
  auto copy = read_ok(blob);
  EXPECT_EQ(copy->node_count(), n);
  EXPECT_EQ(copy->outputs(), (NodeIds{n - 1, 3}));
}

// Records read through the reader's fast paths (short ASCII names, maps
// already in order, up to three inputs) and through the general ones (every
// other shape) give the same keys: names of every length around the fast
// path's limits, ASCII or not, map entries in every order (prefixes, equal
// names, bytes above 0x7F), and records at the very end of the input, where
// the fast paths have fewer bytes to read ahead.
TEST(BlobRoundTrip, RecordsOfEveryShapeReadAsTheKeysTheyHold) {
  const std::vector<std::string> names = {"", "a", "ab", "abcdefg", "abcdefgh", "abcdefghi", std::string(13, 'n'),
                                          std::string(14, 'n'), std::string(15, 'n'), "\xc3\xa9", "a\x7f"};
  const std::vector<std::string> param_names = {"", "a", "ab", "b", "abcdefgh", "abcdefghi", "\xc3\xa9", "a\x7f", "a"};
  std::vector<std::vector<std::string>> orders;
  for (const std::string& x : param_names) {
    for (const std::string& y : param_names) orders.push_back({x, y});
  }
  orders.push_back({"c", "b", "a"});
  orders.push_back({"a", "b", "b"});
  for (const std::string& name : names) {
    for (const auto& order : orders) {
      for (std::uint32_t inputs = 0; inputs <= 4; ++inputs) {
        SCOPED_TRACE(name + " / " + order[0] + "," + order[1] + " / " + std::to_string(inputs));
        Bytes record;
        record.u8(inputs == 0 ? 0 : 1).str(name).u32(static_cast<std::uint32_t>(order.size()));
        std::vector<ParamEntry> entries;
        for (std::size_t e = 0; e < order.size(); ++e) {
          record.str(order[e]).u8(0).u64(e);
          entries.push_back({order[e], ParamValue::integer(static_cast<std::int64_t>(e))});
        }
        NodeIds ids;
        if (inputs != 0) {
          record.u32(inputs);
          for (std::uint32_t i = 0; i < inputs; ++i) {
            record.u64(i % 2);
            ids.push_back(i % 2);
          }
        }
        const ParamMap params(entries);
        const NodeKey expected = inputs == 0 ? NodeKey::source(name, params) : NodeKey::op(name, params, ids);
        auto blob = header(3).source("x").source("y").raw(record.s).outputs({});
        auto copy = read_ok(blob.s);
        ASSERT_EQ(copy->node_count(), 3u);
        EXPECT_EQ(copy->snapshot().nodes[2], expected);
      }
    }
  }
}

// A byte that is not UTF-8 anywhere in a short name or parameter name is
// refused, whichever of the reader's paths meets it.
TEST(BlobRoundTrip, AStrayByteAnywhereInAShortNameIsRefused) {
  for (std::size_t length : {1u, 7u, 8u, 9u, 13u, 14u}) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string bad(length, 'n');
      bad[at] = '\xff';
      SCOPED_TRACE(std::to_string(length) + " / " + std::to_string(at));
      const auto as_name = header(1).raw(Bytes{}.u8(0).str(bad).u32(0).s).outputs({});
      EXPECT_FALSE(deserialize(as_name.s).ok());
      const auto as_param = header(1).raw(Bytes{}.u8(0).str("s").u32(1).str(bad).u8(2).u8(1).s).outputs({});
      EXPECT_FALSE(deserialize(as_param.s).ok());
    }
  }
}

class BlobRoundTripFloat : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BlobRoundTripFloat, BitPatternSurvivesExactly) {
  GraphStore original;
  add(original, NodeKey::source("a", ParamMap({{"v", ParamValue::floating(std::bit_cast<double>(GetParam()))}})));
  const std::string blob = serialize_with(original, {});
  auto copy = read_ok(blob);
  ASSERT_EQ(copy->node_count(), 1u);
  const double read = copy->snapshot().nodes[0].params().entries()[0].value.as_float();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(read), GetParam());
  EXPECT_EQ(serialize_with(*copy, {}), blob);
}

INSTANTIATE_TEST_SUITE_P(Patterns, BlobRoundTripFloat,
                         ::testing::Values(0x7FF0000000000001ULL,  // signalling NaN
                                           0xFFF8000000000000ULL,  // negative quiet NaN
                                           0x7FF8000000000000ULL, 0x7FFFFFFFFFFFFFFFULL,
                                           0x8000000000000000ULL,  // -0.0
                                           0x0000000000000001ULL,  // smallest subnormal
                                           0xFFF0000000000000ULL));

TEST(BlobRoundTrip, RepeatedExplicitOutputsAreMarkedOnce) {
  GraphStore original;
  add(original, NodeKey::source("a", {}));
  add(original, NodeKey::source("b", {}));
  const std::string blob = serialize_with(original, {1, 1, 0});
  auto copy = read_ok(blob);
  EXPECT_EQ(copy->outputs(), (NodeIds{1, 0}));
  EXPECT_EQ(serialize_with_marks(*copy), serialize_with(original, {1, 0}));
}

TEST(BlobRoundTrip, TrailingBytesAreIgnored) {
  GraphStore original;
  fill_every_kind(original);
  const std::string blob = serialize_with(original, {9});
  auto copy = read_ok(blob + "trailing\xFF");
  EXPECT_EQ(serialize_with_marks(*copy), blob);
}

TEST(BlobRoundTrip, LenientBytesReadAsDocumented) {
  // A Bool byte 2 is true; a presence byte 7 means present; a member's
  // Input index is not compared with the stage's inputs; parameter names
  // may repeat and are sorted stably.
  const std::string strings = Bytes{}.str("k").str("h").str("f").str("v").str("io").s;
  const std::string blob = header(3)
                               .u8(0).str("a").u32(3).str("n").u8(2).u8(2).str("m").u8(0).u64(1).str("n").u8(0).u64(2)
                               .u8(3).raw(strings).u8(7).str("pre").u32(0).u32(1).u64(0)
                               .u8(4).u32(0).u32(1).str("not a token").u32(1).u8(0).u32(999)
                               .outputs({})
                               .s;
  auto store = read_ok(blob);
  const auto nodes = store->snapshot().nodes;
  ASSERT_EQ(nodes.size(), 3u);
  const auto& entries = nodes[0].params().entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "m");
  EXPECT_EQ(entries[1].value, ParamValue::boolean(true));
  EXPECT_EQ(entries[2].value, ParamValue::integer(2));
  EXPECT_EQ(nodes[1].descriptor().preprocessing_ref, std::optional<std::string>("pre"));
  EXPECT_EQ(nodes[2].members()[0].refs[0], StageRef::input(999));
}

TEST(BlobRoundTrip, EqualRecordsMergeAndShiftLaterIds) {
  // Two NaNs with different payloads are equal keys: the first one is kept.
  const auto nan_source = [](std::uint64_t bits) { return Bytes{}.u8(0).str("a").u32(1).str("v").u8(1).u64(bits).s; };
  auto store = read_ok(header(3).raw(nan_source(0x7FF0000000000001ULL)).raw(nan_source(0x7FF8000000000002ULL))
                           .op("f", {0}).outputs({1}).s);
  ASSERT_EQ(store->node_count(), 2u);
  const auto nodes = store->snapshot().nodes;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(nodes[0].params().entries()[0].value.as_float()), 0x7FF0000000000001ULL);
  EXPECT_EQ(nodes[1].kind(), NodeKind::Op);  // record 2 became node 1
  EXPECT_EQ(store->outputs(), (NodeIds{1}));
}


// The writer widens the parameter map's own one-to-three-byte lengths to
// the blob's u32: names and texts on both sides of each width, between
// values of every kind.
class BlobParamLengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BlobParamLengths, NamesAndTextsOfEveryLengthWidth) {
  const std::size_t n = GetParam();
  const std::string name(n, 'n');
  const std::string text(n, 't');
  const ParamMap params({{"a" + name, ParamValue::text(text)},
                         {"b", ParamValue::integer(-2)},
                         {"c" + name, ParamValue::boolean(true)},
                         {"d", ParamValue::floating(-0.0)},
                         {"e" + name, ParamValue::text(name)}});
  // The first map has the next record after it, the last one only the
  // output count: the writer copies the first with one check for room for
  // the widest it could be, the last one write by write.
  GraphStore original;
  add(original, NodeKey::source("s", params));
  add(original, NodeKey::source("t", params));
  Bytes expected = header(2);
  for (const char* source : {"s", "t"}) {
    expected.u8(0).str(source).u32(5)
        .str("a" + name).u8(3).str(text)
        .str("b").u8(0).u64(static_cast<std::uint64_t>(-2))
        .str("c" + name).u8(2).u8(1)
        .str("d").u8(1).u64(std::bit_cast<std::uint64_t>(-0.0))
        .str("e" + name).u8(3).str(name);
  }
  const std::string blob = serialize_with(original, {});
  EXPECT_EQ(blob, expected.u32(0).s);
  EXPECT_EQ(read_ok(blob)->snapshot().nodes, original.snapshot().nodes);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BlobParamLengths, ::testing::Values(0, 1, 126, 127, 128, 16383, 16384, 70000));


// A map read from a blob is the map built from the same entries, whichever
// way the reader took: in one pass for small maps already in name order,
// entry by entry (sorting) for the rest. Interning the directly built key
// into the read store must find the read node (same hash, same identity).
struct ReadMapCase {
  const char* label;
  std::string params;  // the blob's count and entries
  std::vector<ParamEntry> entries;
};

void PrintTo(const ReadMapCase& c, std::ostream* os) { *os << c.label; }

class BlobParamRead : public ::testing::TestWithParam<ReadMapCase> {};

TEST_P(BlobParamRead, GivesTheMapOfItsEntries) {
  const ReadMapCase& c = GetParam();
  const std::string blob = header(1).u8(0).str("s").raw(c.params).outputs({}).s;
  auto store = read_ok(blob);
  ASSERT_EQ(store->node_count(), 1u);
  const NodeKey expected = NodeKey::source("s", ParamMap(c.entries));
  EXPECT_EQ(store->snapshot().nodes[0], expected);
  const auto id = store->intern(NodeKey::source("s", ParamMap(c.entries)));
  ASSERT_TRUE(id.ok());
  EXPECT_EQ(id.value(), 0u);
  GraphStore direct;
  add(direct, NodeKey::source("s", ParamMap(c.entries)));
  EXPECT_EQ(serialize_with(*store, {}), serialize_with(direct, {}));
}

constexpr std::uint64_t kNanWithPayload = 0x7FF0000000000123ULL;

INSTANTIATE_TEST_SUITE_P(
    Maps, BlobParamRead,
    ::testing::Values(
        ReadMapCase{"InOrderEveryKind",
                    Bytes{}.u32(4).str("b").u8(2).u8(7).str("f").u8(1).u64(kNanWithPayload)
                        .str("i").u8(0).u64(static_cast<std::uint64_t>(-9)).str("t").u8(3).str("é").s,
                    {{"b", ParamValue::boolean(true)},
                     {"f", ParamValue::floating(std::bit_cast<double>(kNanWithPayload))},
                     {"i", ParamValue::integer(-9)},
                     {"t", ParamValue::text("é")}}},
        ReadMapCase{"RepeatedNamesInOrder", Bytes{}.u32(2).str("n").u8(0).u64(1).str("n").u8(0).u64(2).s,
                    {{"n", ParamValue::integer(1)}, {"n", ParamValue::integer(2)}}},
        ReadMapCase{"OutOfOrder", Bytes{}.u32(2).str("z").u8(2).u8(0).str("a").u8(1).u64(0).s,
                    {{"a", ParamValue::floating(0.0)}, {"z", ParamValue::boolean(false)}}},
        ReadMapCase{"LargerThanOnePass", Bytes{}.u32(2).str("a").u8(3).str(std::string(600, 'x')).str("b").u8(0).u64(5).s,
                    {{"a", ParamValue::text(std::string(600, 'x'))}, {"b", ParamValue::integer(5)}}},
        ReadMapCase{"Empty", Bytes{}.u32(0).s, {}}),
    [](const ::testing::TestParamInfo<ReadMapCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace quorvel
