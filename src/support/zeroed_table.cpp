#include "support/zeroed_table.hpp"

#include <cstdlib>

#include "support/large_block_allocator.hpp"

namespace quorvel {

ZeroedTable::ZeroedTable(std::size_t count, std::size_t size, FreedBlock freed) : freed_(freed) {
  if (count == 0) return;
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) throw std::bad_alloc();
  const std::size_t bytes = count * size;
  if (bytes >= large_block::kMapThreshold) {
    if (void* p = large_block::allocate_zeroed(bytes)) {
      data_ = p;
      bytes_ = bytes;
      mapped_ = true;
      return;
    }
  }
  data_ = std::calloc(count, size);
  if (data_ == nullptr) throw std::bad_alloc();
  bytes_ = bytes;
}

ZeroedTable::~ZeroedTable() {
  if (data_ == nullptr) return;
  if (mapped_) {
    if (freed_ == FreedBlock::unmapped) {
      large_block::deallocate_unkept(data_, bytes_);
    } else {
      large_block::deallocate(data_, bytes_);
    }
    return;
  }
  std::free(data_);
}

}  // namespace quorvel
