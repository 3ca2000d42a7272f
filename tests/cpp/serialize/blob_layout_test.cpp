// The byte layout of written blobs, pinned byte for byte.
#include <gtest/gtest.h>

#include "blob_bytes.hpp"
#include "serialize/blob_writer.hpp"
#include "serialize/record_encoding.hpp"

namespace quorvel {
namespace {

using blob_test::Bytes;
using blob_test::header;
using blob_test::octets;

NodeId must_intern(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  EXPECT_TRUE(id.ok());
  return id.ok() ? id.value() : 0;
}

TEST(BlobLayout, EmptyStoreIsTwelveBytes) {
  GraphStore store;
  EXPECT_EQ(serialize_with_marks(store), octets({'Q', 'I', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(BlobLayout, OneSourceMarkedAsOutput) {
  GraphStore store;
  must_intern(store, NodeKey::source("a", {}));
  ASSERT_TRUE(store.mark_output(0).ok());
  const std::string expected = octets({'Q', 'I', 'R', '1', 1, 0, 0, 0,            // magic, one node
                                       0, 1, 0, 0, 0, 'a', 0, 0, 0, 0,             // Source "a", no params
                                       1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});       // outputs [0]
  EXPECT_EQ(serialize_with_marks(store), expected);
  EXPECT_EQ(serialize_with(store, store.outputs()), expected);
}

// The blob of `store` must end with the record of its last node followed by
// an empty output list.
void expect_last_record(const GraphStore& store, const std::string& record) {
  const std::string blob = serialize_with(store, {});
  ASSERT_GE(blob.size(), record.size() + 4);
  EXPECT_EQ(blob.substr(blob.size() - 4 - record.size()), record + octets({0, 0, 0, 0}));
}

TEST(BlobLayout, OpRecordWithIntParameter) {
  GraphStore store;
  must_intern(store, NodeKey::source("s", {}));
  must_intern(store, NodeKey::op("f", ParamMap({{"k", ParamValue::integer(2)}}), {0}));
  expect_last_record(store, octets({1, 1, 0, 0, 0, 'f',                               // tag, name
                                    1, 0, 0, 0, 1, 0, 0, 0, 'k', 0, 2, 0, 0, 0, 0, 0, 0, 0,  // k = Int 2
                                    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));            // inputs [0]
}

TEST(BlobLayout, StageRecordWithMemberAndInputRefs) {
  GraphStore store;
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) must_intern(store, NodeKey::source(name, {}));
  must_intern(store, NodeKey::stage({4, 5}, {StageOp{"op|g", {StageRef::input(0)}},
                                             StageOp{"op|h", {StageRef::member(0), StageRef::input(1)}}}));
  expect_last_record(store, octets({4, 2, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0,  // inputs [4, 5]
                                    2, 0, 0, 0,                                                      // two members
                                    4, 0, 0, 0, 'o', 'p', '|', 'g', 1, 0, 0, 0, 0, 0, 0, 0, 0,       // Input(0)
                                    4, 0, 0, 0, 'o', 'p', '|', 'h', 2, 0, 0, 0,                      // two refs:
                                    1, 0, 0, 0, 0, 0, 1, 0, 0, 0}));  // Member(0), Input(1)
}

TEST(BlobLayout, ExternalRecordsAndValueKinds) {
  GraphStore store;
  const ParamMap params({{"z", ParamValue::text("é")}, {"b", ParamValue::boolean(true)},
                         {"f", ParamValue::floating(1.0)}});
  PayloadDescriptor d{"m", "h", "fw", "1", "io", std::nullopt};
  must_intern(store, NodeKey::external(d, params, {}));
  d.preprocessing_ref = "";
  must_intern(store, NodeKey::external(d, {}, {0, 0}));
  const std::string descriptor_strings = Bytes{}.str("m").str("h").str("fw").str("1").str("io").s;
  const std::string absent = Bytes{}.u8(3).raw(descriptor_strings).u8(0)
                                 .u32(3).str("b").u8(2).u8(1)                        // sorted: b, f, z
                                 .str("f").u8(1).u64(0x3FF0000000000000ULL)
                                 .str("z").u8(3).str("é").u32(0).s;
  const std::string present_empty = Bytes{}.u8(3).raw(descriptor_strings).u8(1).str("").u32(0).u32(2).u64(0).u64(0).s;
  EXPECT_EQ(serialize_with(store, {}), header(2).raw(absent).raw(present_empty).u32(0).s);
}

TEST(BlobLayout, SchemeNodesAndExplicitOutputsWithRepeats) {
  GraphStore store;
  must_intern(store, NodeKey::source("a", {}));
  must_intern(store, NodeKey::exchange(ParamMap({{"by", ParamValue::integer(-1)}}), {0}));
  must_intern(store, NodeKey::join({}, {1, 0}));
  ASSERT_TRUE(store.mark_output(2).ok());
  const Bytes nodes = header(3).source("a")
                          .u8(5).u32(1).str("by").u8(0).u64(~0ULL).u32(1).u64(0)
                          .u8(6).u32(0).u32(2).u64(1).u64(0);
  EXPECT_EQ(serialize_with(store, {1, 1, 0}), Bytes(nodes).outputs({1, 1, 0}).s);
  EXPECT_EQ(serialize_with_marks(store), Bytes(nodes).outputs({2}).s);
}

// A record is written unchecked when the buffer has room for its bound (a
// map's every length widened to four bytes), and field by field with checks
// otherwise: both give the measured bytes, whatever the widths of the
// lengths in the map.
TEST(BlobLayout, RecordsWrittenWithRoomToSpareOrExactlyAreTheSameMeasuredBytes) {
  std::vector<ParamMap> maps = {ParamMap()};
  for (std::size_t length : {0u, 1u, 127u, 128u, 16383u, 16384u}) {
    maps.push_back(ParamMap({{std::string(length, 'n'), ParamValue::text(std::string(length, 't'))}}));
    maps.push_back(ParamMap({{"b", ParamValue::boolean(true)}, {std::string(length, 'f'), ParamValue::floating(0.5)},
                             {"i", ParamValue::integer(-7)}, {"s", ParamValue::text(std::string(length, 'x'))}}));
  }
  std::vector<NodeKey> keys;
  for (const ParamMap& map : maps) {
    keys.push_back(NodeKey::source("src", map));
    keys.push_back(NodeKey::op(std::string(200, 'o'), map, {1, 2, 3, 4}));
    keys.push_back(NodeKey::exchange(map, {9}));
    keys.push_back(NodeKey::external(PayloadDescriptor{"k", "h", "f", "1", "s", "ref"}, map, {0}));
  }
  for (const NodeKey& key : keys) {
    SCOPED_TRACE(key.token().substr(0, 40));
    EncodedSize exact, bound;
    measure_record(exact, key);
    // The quick bound of a large blob is never below the record, and sees
    // the name's length and the input count (the lengths inside a map
    // always fit), and nothing the exact measure does not.
    bound_record(bound, key);
    ASSERT_GE(bound.bytes, exact.bytes);
    const std::uint64_t own = key.name().size() | key.inputs().size();
    EXPECT_EQ(bound.widest & own, own);
    EXPECT_EQ(bound.widest | exact.widest, exact.widest);
    std::string tight(exact.bytes, '\0');
    ByteSink checked(tight.data(), tight.data() + tight.size());
    write_record(checked, key);
    EXPECT_TRUE(checked.exactly_filled());
    // Unchecked into the room of its bound: the same bytes; with less room
    // than the bound, nothing is written and null says so.
    std::string roomy(bound.bytes, '\0');
    std::uint64_t widest = 0;
    const char* end = write_record_within(roomy.data(), roomy.data() + roomy.size(), key, widest);
    ASSERT_NE(end, nullptr);
    ASSERT_EQ(static_cast<std::size_t>(end - roomy.data()), exact.bytes);
    EXPECT_EQ(roomy.substr(0, exact.bytes), tight);
    EXPECT_EQ(widest, bound.widest);
    std::string short_of_bound(bound.bytes - 1, '\0');
    EXPECT_EQ(write_record_within(short_of_bound.data(), short_of_bound.data() + short_of_bound.size(), key, widest),
              nullptr);
    EXPECT_EQ(short_of_bound, std::string(bound.bytes - 1, '\0'));
  }
}

TEST(BlobLayout, PutParamsAppendsAfterExistingBytes) {
  std::string out = "xy";
  put_params(out, ParamMap({{"b", ParamValue::integer(1)}, {"a", ParamValue::boolean(false)}}));
  EXPECT_EQ(out, Bytes{}.raw("xy").u32(2).str("a").u8(2).u8(0).str("b").u8(0).u64(1).s);
}

}  // namespace
}  // namespace quorvel
