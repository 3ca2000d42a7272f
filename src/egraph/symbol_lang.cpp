#include "egraph/symbol_lang.hpp"

#include <algorithm>
#include <cstring>

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

void SymbolLang::init_heap(std::span<const Id> children) {
  heap_ = new Id[arity_];
  std::copy(children.begin(), children.end(), heap_);
}

void SymbolLang::copy_heap_from(const SymbolLang& other) {
  heap_ = new Id[arity_];
  std::memcpy(heap_, other.heap_, sizeof(Id) * arity_);
}

void SymbolLang::copy_children_from(const SymbolLang& other) {
  arity_ = other.arity_;
  if (arity_ > kInlineChildren) {
    heap_ = new Id[arity_];
    std::memcpy(heap_, other.heap_, sizeof(Id) * arity_);
  } else {
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
}

void SymbolLang::take_children_from(SymbolLang& other) noexcept {
  arity_ = other.arity_;
  if (arity_ > kInlineChildren) {
    heap_ = other.heap_;
    other.arity_ = 0;
    other.inline_[0] = other.inline_[1] = 0;
  } else {
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
}

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) {
    if (arity_ > kInlineChildren && other.arity_ == arity_) {
      std::memcpy(heap_, other.heap_, sizeof(Id) * arity_);
    } else {
      if (arity_ > kInlineChildren) delete[] heap_;
      arity_ = 0;
      copy_children_from(other);
    }
    op_ = other.op_;
  }
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this != &other) {
    if (arity_ > kInlineChildren) delete[] heap_;
    op_ = other.op_;
    take_children_from(other);
  }
  return *this;
}

std::uint64_t SymbolLang::hash() const noexcept {
  std::uint64_t state = mix64((static_cast<std::uint64_t>(op_.handle()) << 32) | arity_);
  const std::span<const Id> kids = children();
  std::size_t i = 0;
  // Two children per step: the common binary node costs a single fold.
  for (; i + 1 < kids.size(); i += 2) {
    state = hash_combine(state, static_cast<std::uint64_t>(kids[i]) | (static_cast<std::uint64_t>(kids[i + 1]) << 32));
  }
  if (i < kids.size()) state = hash_combine(state, kids[i]);
  return state;
}

bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept {
  if (a.op_ != b.op_ || a.arity_ != b.arity_) return false;
  if (a.arity_ <= SymbolLang::kInlineChildren) {
    return a.inline_[0] == b.inline_[0] && a.inline_[1] == b.inline_[1];
  }
  return std::memcmp(a.heap_, b.heap_, sizeof(Id) * a.arity_) == 0;
}

bool operator<(const SymbolLang& a, const SymbolLang& b) noexcept {
  if (a.op_ != b.op_) return a.op_ < b.op_;
  const std::span<const Id> x = a.children();
  const std::span<const Id> y = b.children();
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

}  // namespace quorvel::egraph
