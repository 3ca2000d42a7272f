#include "param/param_value.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string_view>

#include "param/token_escape.hpp"
#include "support/hash_mix.hpp"

namespace quorvel {

std::uint64_t canonical_float_bits(double value) noexcept {
  if (std::isnan(value)) return kCanonicalNanBits;
  return std::bit_cast<std::uint64_t>(value);
}

ParamValueView ParamValue::view() const noexcept {
  switch (kind()) {
    case ParamKind::Int: return ParamValueView::integer(std::get<0>(value_));
    case ParamKind::Float: return ParamValueView::floating(std::get<1>(value_));
    case ParamKind::Bool: return ParamValueView::boolean(std::get<2>(value_));
    case ParamKind::Str: break;
  }
  return ParamValueView::text(std::get<3>(value_));
}

ParamValue ParamValueView::to_value() const {
  switch (kind_) {
    case ParamKind::Int: return ParamValue::integer(as_int());
    case ParamKind::Float: return ParamValue::floating(as_float());
    case ParamKind::Bool: return ParamValue::boolean(as_bool());
    case ParamKind::Str: break;
  }
  return ParamValue::text(std::string(as_str()));
}

bool operator==(const ParamValueView& a, const ParamValueView& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case ParamKind::Int: return a.as_int() == b.as_int();
    case ParamKind::Float: return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
    case ParamKind::Bool: return a.as_bool() == b.as_bool();
    case ParamKind::Str: return a.as_str() == b.as_str();
  }
  return false;
}

void ParamValueView::hash_into(KeyedHasher& hasher) const noexcept {
  hasher.word(static_cast<std::uint64_t>(kind_));
  switch (kind()) {
    case ParamKind::Int: return hasher.word(static_cast<std::uint64_t>(as_int()));
    case ParamKind::Float: return hasher.word(canonical_float_bits(as_float()));
    case ParamKind::Bool: return hasher.word(as_bool() ? 1 : 0);
    case ParamKind::Str: return hasher.bytes(as_str());
  }
}

void ParamValueView::append_token(std::string& out) const {
  switch (kind()) {
    case ParamKind::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, as_int());
      out.push_back('i');
      out.append(buf, res.ptr);
      return;
    }
    case ParamKind::Float: {
      static constexpr char kHex[] = "0123456789abcdef";
      const std::uint64_t bits = canonical_float_bits(as_float());
      char text[17];
      text[0] = 'f';
      for (int k = 0; k < 16; ++k) text[1 + k] = kHex[(bits >> (60 - 4 * k)) & 0xF];
      out.append(text, sizeof text);
      return;
    }
    case ParamKind::Bool:
      out.append(as_bool() ? "btrue" : "bfalse");
      return;
    case ParamKind::Str:
      out.push_back('s');
      append_escaped_token(out, as_str());
      return;
  }
}

std::string ParamValue::token() const {
  std::string out;
  append_token(out);
  return out;
}

namespace {

struct CodeRange {
  char32_t lo;
  char32_t hi;
};

constexpr CodeRange kEscapedRanges[] = {
#include "param/display_escape_ranges.inc"
};

bool display_escapes(char32_t cp) {
  auto it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                             [](char32_t c, const CodeRange& r) { return c < r.lo; });
  if (it == std::begin(kEscapedRanges)) return false;
  --it;
  return cp >= it->lo && cp <= it->hi;
}

// Decodes one UTF-8 sequence at text[i]; on malformed input yields U+FFFD
// and consumes one byte, so a display never fails.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    i += 1;
    return b0;
  }
  int len = (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > text.size()) {
    i += 1;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      i += 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += len;
  return cp;
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    char32_t cp = decode_utf8(text, i);
    switch (cp) {
      case '\\': out.append("\\\\"); continue;
      case '"': out.append("\\\""); continue;
      case '\t': out.append("\\t"); continue;
      case '\r': out.append("\\r"); continue;
      case '\n': out.append("\\n"); continue;
      case 0: out.append("\\0"); continue;
      default: break;
    }
    if (display_escapes(cp)) {
      char buf[16];
      auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
      out.append("\\u{");
      out.append(buf, res.ptr);
      out.push_back('}');
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  out.push_back('"');
}

void append_float_display(std::string& out, double v) {
  if (std::isnan(v)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(v)) {
    out.append(v < 0 ? "-inf" : "inf");
    return;
  }
  // The fewest significant digits that read back to the same value, laid
  // out without an exponent: 1e23 shows "100000000000000000000000", not
  // the exact binary value that fixed-notation to_chars would give for
  // large integral doubles. Integral values get no fractional part, -0.0
  // shows "-0".
  std::array<char, 32> buf;
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific);
  std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));  // "-1.25e+02"
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const int n_digits = static_cast<int>(digits.size());
  if (exponent >= n_digits - 1) {
    out.append(digits);
    out.append(static_cast<std::size_t>(exponent - (n_digits - 1)), '0');
  } else if (exponent >= 0) {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  } else {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
  }
}

}  // namespace

void ParamValueView::append_display(std::string& out) const {
  switch (kind()) {
    case ParamKind::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, as_int());
      out.append(buf, res.ptr);
      return;
    }
    case ParamKind::Float: append_float_display(out, as_float()); return;
    case ParamKind::Bool: out.append(as_bool() ? "true" : "false"); return;
    case ParamKind::Str: append_quoted(out, as_str()); return;
  }
}

std::string ParamValue::display() const {
  std::string out;
  append_display(out);
  return out;
}

}  // namespace quorvel
