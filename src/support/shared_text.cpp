#include "support/shared_text.hpp"

#include <cstring>
#include <new>

namespace quorvel {

SharedText::SharedText(std::string_view text) {
  if (text.empty()) return;
  if (text.size() >= kOwned - sizeof(Buffer)) throw std::bad_alloc();
  void* raw = ::operator new(sizeof(Buffer) + text.size());
  ::new (raw) Buffer{1};
  char* bytes = static_cast<char*>(raw) + sizeof(Buffer);
  std::memcpy(bytes, text.data(), text.size());
  data_ = bytes;
  size_ = text.size() | kOwned;
}

void SharedText::release(Buffer* buffer) noexcept {
  // The last holder frees the buffer; acquire-release makes every other
  // holder's reads happen before it.
  if (buffer->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  buffer->~Buffer();
  ::operator delete(static_cast<void*>(buffer));
}

}  // namespace quorvel
