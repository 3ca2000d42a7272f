// Zero-filled storage for large open-addressing tables. Big tables are
// mapped blocks of the large-block allocator, advised to use huge pages,
// which cuts the TLB misses of random probes: a kept block is cleared, a
// fresh mapping comes zeroed from the kernel.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace quorvel {

// What becomes of a mapped table's block when the table is freed: kept for
// reuse by the next request of the large-block allocator (the working
// tables of a reduction, freed and asked for again call after call), or
// unmapped at once (a long-lived table that grows, whose old block no
// later request of its own fits and which would otherwise stay resident).
enum class FreedBlock : bool { kept, unmapped };

class ZeroedTable {
 public:
  ZeroedTable() noexcept = default;
  // count elements of `size` bytes each, all bytes zero. Throws
  // std::bad_alloc when the memory cannot be had.
  ZeroedTable(std::size_t count, std::size_t size, FreedBlock freed = FreedBlock::kept);
  ZeroedTable(ZeroedTable&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)),
        mapped_(std::exchange(other.mapped_, false)), freed_(other.freed_) {}
  ZeroedTable& operator=(ZeroedTable&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    std::swap(mapped_, other.mapped_);
    std::swap(freed_, other.freed_);
    return *this;
  }
  ZeroedTable(const ZeroedTable&) = delete;
  ZeroedTable& operator=(const ZeroedTable&) = delete;
  ~ZeroedTable();

  // Changes what becomes of the block when the table is freed.
  void set_freed(FreedBlock freed) noexcept { freed_ = freed; }

  void* data() const noexcept { return data_; }
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  bool mapped_ = false;
  FreedBlock freed_ = FreedBlock::kept;
};

}  // namespace quorvel
