#include "serialize/decode_error.hpp"

namespace quorvel {

namespace {

const char* tag_site_word(DecodeError::TagSite site) noexcept {
  switch (site) {
    case DecodeError::TagSite::Node: return "node";
    case DecodeError::TagSite::Param: return "param";
    case DecodeError::TagSite::StageRef: return "stage-ref";
  }
  return "node";
}

}  // namespace

std::string DecodeError::message() const {
  switch (kind_) {
    case Kind::BadMagic: return "not a quorvel IR blob (bad magic/version)";
    case Kind::Truncated: return "truncated quorvel IR blob";
    case Kind::BadTag: {
      std::string text = "invalid ";
      text.append(tag_site_word(site_)).append(" tag ").append(std::to_string(static_cast<unsigned>(tag())));
      return text;
    }
    case Kind::BadUtf8: return "invalid utf-8 in quorvel IR blob";
    case Kind::BadRef: {
      std::string text = "node reference ";
      text.append(std::to_string(value_)).append(" out of range");
      return text;
    }
  }
  return "truncated quorvel IR blob";
}

}  // namespace quorvel
