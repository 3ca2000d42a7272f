#include "failing_allocation.hpp"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_SANITIZER_OWNS_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVEL_SANITIZER_OWNS_NEW 1
#endif
#endif

namespace quorvel::testing {
namespace {

// Allocations left before the one that fails; 0 when nothing is armed.
thread_local std::size_t allocations_left = 0;
thread_local bool failure_fired = false;

}  // namespace

bool FailingAllocation::available() noexcept {
#if defined(QUORVEL_SANITIZER_OWNS_NEW)
  return false;
#else
  return true;
#endif
}

FailingAllocation::FailingAllocation(std::size_t nth) noexcept {
  allocations_left = nth;
  failure_fired = false;
}

FailingAllocation::~FailingAllocation() { allocations_left = 0; }

bool FailingAllocation::fired() const noexcept { return failure_fired; }

}  // namespace quorvel::testing

#if !defined(QUORVEL_SANITIZER_OWNS_NEW)
// The other forms of operator new (arrays, nothrow) call this one, and the
// library's operator delete frees with std::free.
void* operator new(std::size_t size) {
  using namespace quorvel::testing;
  if (allocations_left != 0 && --allocations_left == 0) {
    failure_fired = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
#endif
