// The node map record that pickles carry beside the blob: its exact bytes,
// round trips, and every way a damaged record is refused.
#include <gtest/gtest.h>

#include <string>

#include "blob_bytes.hpp"
#include "serialize/blob_writer.hpp"
#include "serialize/node_map_record.hpp"

namespace quorvel {
namespace {

using blob_test::Bytes;

// Node 0 a source, node 1 an op on it, node 2 a stage of two members.
void fill(GraphStore& store) {
  ASSERT_TRUE(store.intern(NodeKey::source("s", {})).ok());
  ASSERT_TRUE(store.intern(NodeKey::op("f", {}, {0})).ok());
  ASSERT_TRUE(store.intern(NodeKey::stage({1}, {StageOp{"op|a", {StageRef::input(0)}},
                                                StageOp{"op|b", {StageRef::member(0)}}}))
                  .ok());
}

NodeMap sample_map() {
  NodeMap map;
  map.push_back(NodeMapEntry{0, std::nullopt});
  map.push_back(std::nullopt);
  map.push_back(NodeMapEntry{2, 0});
  map.push_back(NodeMapEntry{2, 1});
  map.push_back(NodeMapEntry{1, std::nullopt});
  return map;
}

Bytes record(std::uint32_t count) { return Bytes{}.raw("QNM1").u32(count); }

TEST(NodeMapRecord, BytesAreMagicCountAndOneBasedFields) {
  const std::string expected =
      record(5).u32(1).u32(0).u32(0).u32(0).u32(3).u32(1).u32(3).u32(2).u32(2).u32(0).s;
  EXPECT_EQ(encode_node_map(sample_map()), expected);
  EXPECT_EQ(encode_node_map(NodeMap{}), record(0).s);
}

TEST(NodeMapRecord, RoundTripGivesTheSameMap) {
  GraphStore store;
  fill(store);
  for (const NodeMap& map : {sample_map(), NodeMap{}, NodeMap(3, NodeMapSlot(std::nullopt))}) {
    auto decoded = decode_node_map(encode_node_map(map), store);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value(), map);
  }
}

TEST(NodeMapRecord, ValuesPastTheFieldsAreRefusedWhenWriting) {
  NodeMap wide_id;
  wide_id.push_back(NodeMapEntry{0xFFFFFFFFULL, std::nullopt});
  EXPECT_THROW(encode_node_map(wide_id), BlobTooLarge);
  NodeMap wide_member;
  wide_member.push_back(NodeMapEntry{0, 0xFFFFFFFFULL});
  EXPECT_THROW(encode_node_map(wide_member), BlobTooLarge);
  NodeMap widest;
  widest.push_back(NodeMapEntry{0xFFFFFFFEULL, 0xFFFFFFFEULL});
  EXPECT_EQ(encode_node_map(widest), record(1).u32(0xFFFFFFFFU).u32(0xFFFFFFFFU).s);
}

struct Damaged {
  const char* name;
  std::string bytes;
  std::string message;
};

class NodeMapRecordRefused : public ::testing::TestWithParam<Damaged> {};

TEST_P(NodeMapRecordRefused, WithItsMessage) {
  GraphStore store;
  fill(store);
  auto decoded = decode_node_map(GetParam().bytes, store);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().message, GetParam().message);
}

const std::string kNotARecord = "invalid node map: not a quorvel node map record";

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeMapRecordRefused,
    ::testing::Values(
        Damaged{"Empty", "", kNotARecord}, Damaged{"HeaderCut", record(0).s.substr(0, 7), kNotARecord},
        Damaged{"OtherMagic", Bytes{}.raw("QIR1").u32(0).s, kNotARecord},
        Damaged{"EntryCut", record(1).u32(1).s, "invalid node map: its length does not match its 1 entries"},
        Damaged{"TrailingByte", record(1).u32(1).u32(0).u8(0).s,
                "invalid node map: its length does not match its 1 entries"},
        // A count far beyond the bytes is refused before anything is reserved.
        Damaged{"LyingCount", record(0xFFFFFFFFU).u32(1).u32(0).s,
                "invalid node map: its length does not match its 4294967295 entries"},
        Damaged{"MissingNode", record(2).u32(1).u32(0).u32(4).u32(0).s, "invalid node map: entry 1 names no node 3"},
        Damaged{"MemberOfAnOp", record(1).u32(2).u32(1).s,
                "invalid node map: entry 0 names member 0 of node 1, which is not a stage"},
        Damaged{"MemberPastTheStage", record(1).u32(3).u32(3).s,
                "invalid node map: entry 0 names member 2 of node 2, a stage of 2 members"},
        Damaged{"DroppedWithAMember", record(1).u32(0).u32(1).s,
                "invalid node map: entry 0 is dropped but names member 0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel
