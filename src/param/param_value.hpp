// One parameter value: Int, Float, Bool or Str. The kind order is the tag
// order of the blob format.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "support/keyed_hash.hpp"

namespace quorvel {

enum class ParamKind : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

// The quiet NaN every NaN is folded to for identity, hashing and tokens.
inline constexpr std::uint64_t kCanonicalNanBits = 0x7FF8000000000000ULL;

// Bit pattern of a double with every NaN replaced by the canonical one.
std::uint64_t canonical_float_bits(double value) noexcept;

class ParamValue;

// A read-only view of one parameter value: a ParamValue, or a value stored
// inside a ParamMap's compact encoding. Identity, hashing, tokens and the
// display form are defined here once for both.
class ParamValueView {
 public:
  ParamValueView() noexcept = default;
  static ParamValueView integer(std::int64_t v) noexcept {
    return ParamValueView(ParamKind::Int, static_cast<std::uint64_t>(v), 0);
  }
  static ParamValueView floating(double v) noexcept {
    return ParamValueView(ParamKind::Float, std::bit_cast<std::uint64_t>(v), 0);
  }
  static ParamValueView boolean(bool v) noexcept { return ParamValueView(ParamKind::Bool, v ? 1 : 0, 0); }
  static ParamValueView text(std::string_view v) noexcept {
    return ParamValueView(ParamKind::Str, reinterpret_cast<std::uintptr_t>(v.data()), v.size());
  }

  ParamKind kind() const noexcept { return kind_; }
  // Each accessor is meant for its own kind only.
  std::int64_t as_int() const noexcept { return static_cast<std::int64_t>(bits_); }
  double as_float() const noexcept { return std::bit_cast<double>(bits_); }
  bool as_bool() const noexcept { return bits_ != 0; }
  std::string_view as_str() const noexcept {
    return std::string_view(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(bits_)), size_);
  }

  ParamValue to_value() const;

  friend bool operator==(const ParamValueView& a, const ParamValueView& b) noexcept;
  void hash_into(KeyedHasher& hasher) const noexcept;
  void append_token(std::string& out) const;
  void append_display(std::string& out) const;

 private:
  ParamValueView(ParamKind kind, std::uint64_t bits, std::size_t size) noexcept
      : kind_(kind), bits_(bits), size_(size) {}
  // Three words: views are gathered by the dozen on the stack while a
  // call's parameters are converted.
  ParamKind kind_ = ParamKind::Int;
  std::uint64_t bits_ = 0;  // the int, the float's bits, the bool, or the text's address
  std::size_t size_ = 0;    // the text's length
};

class ParamValue {
 public:
  static ParamValue integer(std::int64_t v) { return ParamValue(Storage(std::in_place_index<0>, v)); }
  static ParamValue floating(double v) { return ParamValue(Storage(std::in_place_index<1>, v)); }
  static ParamValue boolean(bool v) { return ParamValue(Storage(std::in_place_index<2>, v)); }
  static ParamValue text(std::string v) { return ParamValue(Storage(std::in_place_index<3>, std::move(v))); }

  ParamKind kind() const noexcept { return static_cast<ParamKind>(value_.index()); }
  std::int64_t as_int() const { return std::get<0>(value_); }
  double as_float() const { return std::get<1>(value_); }
  bool as_bool() const { return std::get<2>(value_); }
  const std::string& as_str() const { return std::get<3>(value_); }

  ParamValueView view() const noexcept;

  // Identity: same kind and equal payload; floats by canonical bit pattern,
  // so all NaNs are equal and 0.0 differs from -0.0.
  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const ParamValueView& a, const ParamValue& b) noexcept { return a == b.view(); }

  // Feeds this value to a keyed hash, consistently with ==.
  void hash_into(KeyedHasher& hasher) const noexcept { view().hash_into(hasher); }

  // The canonical token: "i-42", "f3ff0000000000000", "btrue", "sx%7Cy".
  std::string token() const;
  void append_token(std::string& out) const { view().append_token(out); }

  // The display form used by labels: 1.0 shows "1", strings are quoted.
  std::string display() const;
  void append_display(std::string& out) const { view().append_display(out); }

 private:
  using Storage = std::variant<std::int64_t, double, bool, std::string>;
  explicit ParamValue(Storage v) : value_(std::move(v)) {}
  Storage value_;
};

}  // namespace quorvel
