// Why the blob reader rejected its input. Exactly one error is reported per
// failed read: the first one met from left to right.
#pragma once

#include <cstdint>
#include <string>

#include "node/node_id.hpp"

namespace quorvel {

class DecodeError {
 public:
  enum class Kind : std::uint8_t {
    BadMagic,   // the input does not start with the magic and version
    Truncated,  // the input ends before a read finished
    BadTag,     // a node, param or stage-ref tag byte out of range
    BadUtf8,    // a string that is not valid UTF-8
    BadRef,     // an input, stage member or output reference that names nothing
  };

  // The item a BadTag byte belongs to.
  enum class TagSite : std::uint8_t { Node, Param, StageRef };

  static DecodeError bad_magic() noexcept { return DecodeError(Kind::BadMagic, TagSite::Node, 0); }
  static DecodeError truncated() noexcept { return DecodeError(Kind::Truncated, TagSite::Node, 0); }
  static DecodeError bad_tag(TagSite site, std::uint8_t tag) noexcept { return DecodeError(Kind::BadTag, site, tag); }
  static DecodeError bad_utf8() noexcept { return DecodeError(Kind::BadUtf8, TagSite::Node, 0); }
  static DecodeError bad_ref(NodeId id) noexcept { return DecodeError(Kind::BadRef, TagSite::Node, id); }

  Kind kind() const noexcept { return kind_; }
  // BadTag only: which item the tag belongs to and the tag byte.
  TagSite tag_site() const noexcept { return site_; }
  std::uint8_t tag() const noexcept { return static_cast<std::uint8_t>(value_); }
  // BadRef only: the reference that names nothing.
  NodeId ref() const noexcept { return value_; }

  // The text callers see, e.g. "invalid node tag 7" or
  // "node reference 2 out of range".
  std::string message() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;

 private:
  DecodeError(Kind kind, TagSite site, std::uint64_t value) noexcept : kind_(kind), site_(site), value_(value) {}

  Kind kind_;
  TagSite site_;
  std::uint64_t value_;
};

}  // namespace quorvel
