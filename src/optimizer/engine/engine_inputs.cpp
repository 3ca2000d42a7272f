#include "optimizer/engine/engine_inputs.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "support/internal_error.hpp"

namespace quorvel {

EngineInputs::EngineInputs(std::span<const NodeId> ids) {
  inline_[0] = inline_[1] = 0;
  NodeId widest = 0;
  for (NodeId id : ids) widest |= id;
  if (widest > std::numeric_limits<std::uint32_t>::max() || ids.size() > std::numeric_limits<std::uint32_t>::max()) {
    fail_invariant("engine positions fit in 32 bits", std::to_string(widest));
  }
  std::uint32_t* out = inline_;
  if (ids.size() > kInline) {
    heap_ = new std::uint32_t[ids.size()];
    out = heap_;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = static_cast<std::uint32_t>(ids[i]);
  size_ = static_cast<std::uint32_t>(ids.size());
}

EngineInputs::EngineInputs(const EngineInputs& other) : size_(0) {
  inline_[0] = inline_[1] = 0;
  std::uint32_t* out = inline_;
  if (other.size_ > kInline) {
    heap_ = new std::uint32_t[other.size_];
    out = heap_;
  }
  std::copy(other.begin(), other.end(), out);
  size_ = other.size_;
}

void EngineInputs::swap(EngineInputs& other) noexcept {
  EngineInputs held(std::move(other));
  // other is empty and inline now; move this into it, then held into this.
  other.size_ = size_;
  if (size_ > kInline) {
    other.heap_ = heap_;
  } else {
    other.inline_[0] = inline_[0];
    other.inline_[1] = inline_[1];
  }
  size_ = held.size_;
  if (held.size_ > kInline) {
    heap_ = held.heap_;
  } else {
    inline_[0] = held.inline_[0];
    inline_[1] = held.inline_[1];
  }
  held.size_ = 0;
}

bool operator==(const EngineInputs& a, const EngineInputs& b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace quorvel
