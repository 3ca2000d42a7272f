// The e-node: an operator symbol applied to child classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "egraph/global_symbol.hpp"
#include "egraph/id.hpp"

namespace quorvel::egraph {

// One e-node. Up to two children are stored inline, so the common leaf,
// unary and binary nodes take 16 bytes and no heap memory.
//
// Equality and hashing cover the operator and the children. Nodes are ordered
// by operator handle first and then by children, element by element, with a
// prefix before any longer sequence it starts.
class SymbolLang {
 public:
  static constexpr std::uint32_t kInlineChildren = 2;

  SymbolLang() noexcept { inline_[0] = inline_[1] = 0; }
  explicit SymbolLang(GlobalSymbol op) noexcept : op_(op) { inline_[0] = inline_[1] = 0; }
  // The copies and moves of nodes of up to two children, which are nearly
  // all of them, are inline.
  SymbolLang(GlobalSymbol op, std::span<const Id> children)
      : op_(op), arity_(static_cast<std::uint32_t>(children.size())) {
    if (arity_ > kInlineChildren) {
      init_heap(children);
      return;
    }
    inline_[0] = arity_ > 0 ? children[0] : 0;
    inline_[1] = arity_ > 1 ? children[1] : 0;
  }
  SymbolLang(GlobalSymbol op, std::initializer_list<Id> children)
      : SymbolLang(op, std::span<const Id>(children.begin(), children.size())) {}

  SymbolLang(const SymbolLang& other) : op_(other.op_), arity_(other.arity_) {
    if (arity_ > kInlineChildren) {
      copy_heap_from(other);
      return;
    }
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
  SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), arity_(other.arity_) {
    if (arity_ > kInlineChildren) {
      heap_ = other.heap_;
      other.arity_ = 0;
      other.inline_[0] = other.inline_[1] = 0;
      return;
    }
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
  SymbolLang& operator=(const SymbolLang& other);
  SymbolLang& operator=(SymbolLang&& other) noexcept;
  ~SymbolLang() {
    if (arity_ > kInlineChildren) delete[] heap_;
  }

  GlobalSymbol op() const noexcept { return op_; }
  std::uint32_t arity() const noexcept { return arity_; }
  bool is_leaf() const noexcept { return arity_ == 0; }

  std::span<const Id> children() const noexcept {
    return {arity_ > kInlineChildren ? heap_ : inline_, arity_};
  }
  std::span<Id> children() noexcept { return {arity_ > kInlineChildren ? heap_ : inline_, arity_}; }

  // Same operator: equal op and the same number of children.
  bool matches(const SymbolLang& other) const noexcept {
    return op_ == other.op_ && arity_ == other.arity_;
  }

  // A fixed, unseeded hash of the operator and the children.
  std::uint64_t hash() const noexcept;

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept;
  friend bool operator<(const SymbolLang& a, const SymbolLang& b) noexcept;

 private:
  // Children on the heap (more than kInlineChildren of them; arity_ set).
  void init_heap(std::span<const Id> children);
  void copy_heap_from(const SymbolLang& other);
  void copy_children_from(const SymbolLang& other);
  // Moves other's children here (arity included) and leaves other empty.
  void take_children_from(SymbolLang& other) noexcept;

  GlobalSymbol op_;
  std::uint32_t arity_ = 0;
  union {
    Id inline_[kInlineChildren];
    Id* heap_;
  };
};

}  // namespace quorvel::egraph
