// The inputs of one engine node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "node/node_id.hpp"
#include "node/node_inputs.hpp"

namespace quorvel {

// Positions of earlier nodes of the same engine graph, in order, repeats
// kept. A position takes 32 bits, as the rewrite engine numbers its classes
// with 32 bits (graphs that do not fit are refused before one is built), and
// up to two are stored inline: an engine node takes 24 bytes, and the three
// engine graphs of a reduction are read end to end by every pass.
class EngineInputs {
 public:
  static constexpr std::uint32_t kInline = 2;

  EngineInputs() noexcept { inline_[0] = inline_[1] = 0; }
  // Every id must lie below 2^32; a larger one is an internal error.
  EngineInputs(std::span<const NodeId> ids);  // NOLINT(google-explicit-constructor): converts like NodeInputs
  EngineInputs(const NodeIds& ids) : EngineInputs(std::span<const NodeId>(ids)) {}  // NOLINT
  EngineInputs(const NodeInputs& ids) : EngineInputs(std::span<const NodeId>(ids.data(), ids.size())) {}  // NOLINT
  EngineInputs(std::initializer_list<NodeId> ids) : EngineInputs(std::span<const NodeId>(ids.begin(), ids.size())) {}
  EngineInputs(const EngineInputs& other);
  EngineInputs(EngineInputs&& other) noexcept : size_(other.size_) {
    if (size_ > kInline) {
      heap_ = other.heap_;
    } else {
      inline_[0] = other.inline_[0];
      inline_[1] = other.inline_[1];
    }
    other.size_ = 0;
  }
  EngineInputs& operator=(EngineInputs other) noexcept {
    swap(other);
    return *this;
  }
  ~EngineInputs() {
    if (size_ > kInline) delete[] heap_;
  }

  void swap(EngineInputs& other) noexcept;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const std::uint32_t* begin() const noexcept { return size_ > kInline ? heap_ : inline_; }
  const std::uint32_t* end() const noexcept { return begin() + size_; }
  std::uint32_t operator[](std::size_t i) const noexcept { return begin()[i]; }
  NodeIds to_vector() const { return NodeIds(begin(), end()); }

  friend bool operator==(const EngineInputs& a, const EngineInputs& b) noexcept;

 private:
  union {
    std::uint32_t inline_[kInline];
    std::uint32_t* heap_;
  };
  std::uint32_t size_ = 0;
};

}  // namespace quorvel
