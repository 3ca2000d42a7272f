// A 32-bit handle to an interned text.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "egraph/symbol_table.hpp"

namespace quorvel::egraph {

// Operators, pattern variables and rule names are all GlobalSymbols. Two
// symbols are equal exactly when their texts are; they compare and hash as
// 32-bit integers, never through their text. The numeric order of handles is
// an arbitrary total order, fixed within a process but different in the
// next one: it may order work (e-class node lists) but never decide a result.
class GlobalSymbol {
 public:
  // The null symbol (handle 0); it names no text.
  constexpr GlobalSymbol() = default;

  // Interns text in the process-wide table.
  explicit GlobalSymbol(std::string_view text) : handle_(SymbolTable::global().intern(text)) {}

  static constexpr GlobalSymbol from_handle(std::uint32_t handle) {
    GlobalSymbol symbol;
    symbol.handle_ = handle;
    return symbol;
  }

  constexpr std::uint32_t handle() const { return handle_; }
  constexpr bool is_null() const { return handle_ == 0; }

  // The interned text; valid for the life of the process.
  std::string_view text() const { return SymbolTable::global().text(handle_); }
  std::string str() const { return std::string(text()); }

  friend constexpr bool operator==(GlobalSymbol, GlobalSymbol) = default;
  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  std::uint32_t handle_ = 0;
};

}  // namespace quorvel::egraph
