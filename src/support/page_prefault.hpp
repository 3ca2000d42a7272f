// Making the pages of a fresh allocation present before they are written.
//
// Writing a newly mapped block faults once per 4 KiB page, and each fault
// costs a trap into the kernel besides the zeroing of the page. Asking the
// kernel to populate a range for writing costs one call for all its pages.
// Where the platform cannot (kernels before 5.14, other systems), nothing
// happens and the writes fault as they always did.
#pragma once

#include <cstddef>

namespace quorvel {

// Populates, for writing, the whole pages inside [begin, end). Never fails:
// a refusal (no support, no memory to populate now) is ignored, and the
// memory stays usable as it was.
void prefault_for_writing(char* begin, char* end) noexcept;

}  // namespace quorvel
