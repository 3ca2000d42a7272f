// Every way the blob reader rejects its input, the message callers see, and
// which error wins when several are present.
#include <gtest/gtest.h>

#include "blob_bytes.hpp"
#include "serialize/blob_reader.hpp"
#include "serialize/byte_reader.hpp"

namespace quorvel {
namespace {

using blob_test::Bytes;
using blob_test::header;
using Site = DecodeError::TagSite;

struct DecodeCase {
  const char* name;
  std::string bytes;
  DecodeError error;
  const char* message;
};

const DecodeError kTruncated = DecodeError::truncated();
const char* const kTruncatedText = "truncated quorvel IR blob";
const char* const kMagicText = "not a quorvel IR blob (bad magic/version)";
const char* const kUtf8Text = "invalid utf-8 in quorvel IR blob";
constexpr std::uint32_t kHuge = 0xFFFFFFFF;

// A stage record (at any index) with no inputs and one member "op|m".
Bytes stage_one_member(Bytes b) { return b.u8(4).u32(0).u32(1).str("op|m"); }

std::vector<DecodeCase> decode_cases() {
  return {
      {"Empty", "", kTruncated, kTruncatedText},
      {"ThreeBytes", "QIR", kTruncated, kTruncatedText},
      {"OtherVersion", Bytes{}.raw("QIR2").u32(0).u32(0).s, DecodeError::bad_magic(), kMagicText},
      {"NotABlob", "hello", DecodeError::bad_magic(), kMagicText},
      {"MagicOnly", "QIR1", kTruncated, kTruncatedText},
      {"CountCutShort", "QIR1\x01\x00\x00", kTruncated, kTruncatedText},
      {"MissingRecord", header(1).s, kTruncated, kTruncatedText},
      {"MissingOutputList", header(0).s, kTruncated, kTruncatedText},
      {"NodeTag7", header(1).u8(7).s, DecodeError::bad_tag(Site::Node, 7), "invalid node tag 7"},
      {"NodeTag255", header(1).u8(255).s, DecodeError::bad_tag(Site::Node, 255), "invalid node tag 255"},
      // A bad tag is reported before the missing bytes that would follow it.
      {"ParamTag4", header(1).u8(0).str("a").u32(1).str("k").u8(4).s, DecodeError::bad_tag(Site::Param, 4),
       "invalid param tag 4"},
      {"StageRefTag2", stage_one_member(header(1)).u32(1).u8(2).s, DecodeError::bad_tag(Site::StageRef, 2),
       "invalid stage-ref tag 2"},
      // An invalid name is reported before the parameter list that is missing.
      {"OverlongName", header(1).u8(0).u32(2).raw("\xC0\x80").s, DecodeError::bad_utf8(), kUtf8Text},
      {"SurrogateInValue", header(1).u8(0).str("a").u32(1).str("k").u8(3).str("\xED\xA0\x80").s,
       DecodeError::bad_utf8(), kUtf8Text},
      {"AboveMaxInToken", stage_one_member(header(1)).s.replace(21, 4, "\xF4\x90\x80\x80"), DecodeError::bad_utf8(),
       kUtf8Text},
      {"StringCutShort", header(1).u8(0).u32(5).raw("\xC0\x80").s, kTruncated, kTruncatedText},
      {"InputEqualToRecordIndex", header(3).source("a").source("b").op("f", {2}).outputs({}).s,
       DecodeError::bad_ref(2), "node reference 2 out of range"},
      // An id out of range is reported before the list turns out short.
      {"InputBeforeTruncation", header(2).source("a").u8(1).str("f").u32(0).u32(3).u64(7).s,
       DecodeError::bad_ref(7), "node reference 7 out of range"},
      {"OutputEqualToCount", header(1).source("a").outputs({1}).s, DecodeError::bad_ref(1),
       "node reference 1 out of range"},
      {"OutputListCutShort", header(1).source("a").u32(2).u64(0).s, kTruncated, kTruncatedText},
      {"MemberRefToItself", stage_one_member(header(1)).u32(1).u8(1).u32(0).u32(0).s, DecodeError::bad_ref(0),
       "node reference 0 out of range"},
      {"MemberRefForward",
       stage_one_member(header(1)).u32(0).str("op|n").u32(2).u8(1).u32(0).u8(1).u32(1).s.replace(13, 4, "\x02\0\0\0", 4),
       DecodeError::bad_ref(1), "node reference 1 out of range"},
      // Equal records merge, so record 2's input 1 names no node yet.
      {"MergedRecordsLeaveDanglingRef", header(3).source("a").source("a").op("f", {1}).outputs({}).s,
       DecodeError::bad_ref(1), "node reference 1 out of range"},
      {"HugeNodeCount", header(kHuge).source("a").s, kTruncated, kTruncatedText},
      {"HugeStringLength", header(1).u8(0).u32(kHuge).raw("abc").s, kTruncated, kTruncatedText},
      {"HugeParamCount", header(1).u8(0).str("a").u32(kHuge).str("k").u8(2).u8(1).s, kTruncated, kTruncatedText},
      {"HugeInputCount", header(1).u8(1).str("f").u32(0).u32(kHuge).s, kTruncated, kTruncatedText},
      {"HugeMemberCount", header(1).u8(4).u32(0).u32(kHuge).str("op|m").u32(0).s, kTruncated, kTruncatedText},
      {"HugeRefCount", stage_one_member(header(1)).u32(kHuge).u8(0).u32(3).s, kTruncated, kTruncatedText},
      {"HugeOutputCount", header(1).source("a").u32(kHuge).u64(0).s, kTruncated, kTruncatedText},
  };
}

class BlobDecodeError : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(BlobDecodeError, ReportsFirstErrorWithItsMessage) {
  const DecodeCase& c = GetParam();
  auto result = deserialize(c.bytes);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), c.error) << result.error().message();
  EXPECT_EQ(result.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlobDecodeError, ::testing::ValuesIn(decode_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlobDecodeError, EveryShortPrefixIsTruncatedAndLongerJunkIsBadMagic) {
  const std::string magic = "QIR1";
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(deserialize(magic.substr(0, n)).error(), DecodeError::truncated()) << n;
    EXPECT_EQ(deserialize(magic + std::string(n, '\0')).error(), DecodeError::truncated()) << n;
  }
  for (const char* junk : {"QIR0", "qir1", "XQIR1", "QIR\xFF"}) {
    EXPECT_EQ(deserialize(std::string(junk) + std::string(8, '\0')).error(), DecodeError::bad_magic()) << junk;
  }
}

TEST(BlobDecodeError, CountsReserveNoMoreThanTheBytesCanHold) {
  EXPECT_EQ(bounded_reserve(0xFFFFFFFF, 100, 8, 1 << 20), 12u);
  EXPECT_EQ(bounded_reserve(3, 100, 8, 1 << 20), 3u);
  EXPECT_EQ(bounded_reserve(0xFFFFFFFF, 1 << 30, 6, 1024), 1024u);
  EXPECT_EQ(bounded_reserve(5, 4, 5, 1024), 0u);
}

TEST(BlobDecodeError, ReaderChecksInputsAgainstTheRecordIndex) {
  const std::string ids = Bytes{}.u32(2).u64(0).u64(4).s;
  EXPECT_EQ(Reader(ids).inputs(5).value(), (NodeIds{0, 4}));
  EXPECT_EQ(Reader(ids).inputs(4).error(), DecodeError::bad_ref(4));
  EXPECT_EQ(Reader(ids).inputs(0).error(), DecodeError::bad_ref(0));
}

}  // namespace
}  // namespace quorvel
