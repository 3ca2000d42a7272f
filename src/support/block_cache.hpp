// Heap blocks of a few hundred kilobytes kept between uses: the store's
// first key chunks.
//
// The C library maps a block that large afresh for every request (or grows
// its heap for it and gives the memory back when it is freed), and the
// system zeroes and faults in every page of it again: with a large store
// alive, every smaller store (a reduction's, a cone's, a blob read again)
// took over four thousand page faults for its chunks. Freed blocks are
// kept here instead, up to kKeptBytes in all, and handed out again for a
// request of the same size; release_kept() gives them all back, and so
// does a request that fails while blocks are kept, before it is tried once
// more.
#pragma once

#include <cstddef>

namespace quorvel::block_cache {

// Freed blocks are kept up to this many bytes in all.
inline constexpr std::size_t kKeptBytes = std::size_t{32} << 20;  // 32 MiB

// A block of `bytes` bytes (contents unspecified): a kept one of that size,
// or a new one. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
// Frees a block that allocate(bytes) gave: kept while there is room, else
// deleted.
void deallocate(void* p, std::size_t bytes) noexcept;

// Bytes of the blocks kept.
std::size_t kept_bytes() noexcept;
// Deletes every kept block; returns the bytes deleted.
std::size_t release_kept() noexcept;

}  // namespace quorvel::block_cache
