#include "param/token_escape.hpp"

namespace quorvel {

void append_escaped_token(std::string& out, std::string_view text) {
  // One pass is equivalent to the four ordered replacements: the escape
  // sequences introduced for ; = | contain no further special characters,
  // and "%" is escaped before them.
  for (char c : text) {
    switch (c) {
      case '%': out.append("%25"); break;
      case ';': out.append("%3B"); break;
      case '=': out.append("%3D"); break;
      case '|': out.append("%7C"); break;
      default: out.push_back(c);
    }
  }
}

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped_token(out, text);
  return out;
}

namespace {

std::string replace_all(std::string_view text, std::string_view from, char to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) {
      out.append(text.substr(pos));
      return out;
    }
    out.append(text.substr(pos, hit - pos));
    out.push_back(to);
    pos = hit + from.size();
  }
}

}  // namespace

std::string unescape_token(std::string_view text) {
  if (text.find('%') == std::string_view::npos) return std::string(text);
  // The replacements run one after another over the whole text, in this
  // order, exactly like successive string replaces: "%257C" becomes "%7C"
  // (only the final "%25" pass touches it), not "|".
  std::string s = replace_all(text, "%7C", '|');
  s = replace_all(s, "%3D", '=');
  s = replace_all(s, "%3B", ';');
  return replace_all(s, "%25", '%');
}

}  // namespace quorvel
