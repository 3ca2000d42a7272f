#include "param/token_escape.hpp"

namespace quorvel {

void append_escaped_token(std::string& out, std::string_view text) {
  // One pass is equivalent to the four ordered replacements: the escape
  // sequences introduced for ; = | contain no further special characters,
  // and "%" is escaped before them. Runs of plain characters are appended
  // whole.
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* escape = nullptr;
    switch (text[i]) {
      case '%': escape = "%25"; break;
      case ';': escape = "%3B"; break;
      case '=': escape = "%3D"; break;
      case '|': escape = "%7C"; break;
      default: continue;
    }
    out.append(text.data() + plain_from, i - plain_from);
    out.append(escape, 3);
    plain_from = i + 1;
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
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
