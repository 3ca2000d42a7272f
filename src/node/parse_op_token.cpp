#include "node/parse_op_token.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "param/token_escape.hpp"

namespace quorvel {

namespace {

// Unsigned hexadecimal: optional "+", at least one digit of either case,
// no overflow.
std::optional<std::uint64_t> parse_hex_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    unsigned digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return std::nullopt;
    if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
    value = (value << 4) | digit;
  }
  return value;
}

// Signed decimal: optional "+" or "-", at least one digit, no overflow.
std::optional<std::int64_t> parse_dec_i64(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude as unsigned; the negative range is one larger.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned digit = c - '0';
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) return static_cast<std::int64_t>(0 - magnitude);
  return static_cast<std::int64_t>(magnitude);
}

std::optional<ParamValue> parse_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  char type = text.front();
  std::string_view rest = text.substr(1);
  switch (type) {
    case 'b':
      if (rest == "true") return ParamValue::boolean(true);
      if (rest == "false") return ParamValue::boolean(false);
      return std::nullopt;
    case 'f':
      if (auto bits = parse_hex_u64(rest)) return ParamValue::floating(std::bit_cast<double>(*bits));
      return std::nullopt;
    case 'i':
      if (auto v = parse_dec_i64(rest)) return ParamValue::integer(*v);
      return std::nullopt;
    case 's': return ParamValue::text(unescape_token(rest));
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<ParsedOpToken> parse_op_token(std::string_view token) {
  // Split at "|" into at most three pieces; the third keeps any further bars.
  std::size_t bar1 = token.find('|');
  std::string_view kind = token.substr(0, bar1);
  if (kind != "op" && kind != "red") return std::nullopt;
  if (bar1 == std::string_view::npos) return std::nullopt;
  std::string_view after = token.substr(bar1 + 1);
  std::size_t bar2 = after.find('|');
  std::string_view name = after.substr(0, bar2);
  std::string_view params_text = bar2 == std::string_view::npos ? std::string_view{} : after.substr(bar2 + 1);

  std::vector<ParamEntry> entries;
  if (!params_text.empty()) {
    std::size_t pos = 0;
    while (true) {
      std::size_t semi = params_text.find(';', pos);
      std::string_view entry = params_text.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos);
      std::size_t eq = entry.find('=');
      if (eq == std::string_view::npos) return std::nullopt;
      auto value = parse_value(entry.substr(eq + 1));
      if (!value) return std::nullopt;
      entries.push_back(ParamEntry{unescape_token(entry.substr(0, eq)), std::move(*value)});
      if (semi == std::string_view::npos) break;
      pos = semi + 1;
    }
  }
  return ParsedOpToken{std::string(kind), unescape_token(name), ParamMap(std::move(entries))};
}

}  // namespace quorvel
