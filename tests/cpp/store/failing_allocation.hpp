// Makes one chosen allocation throw std::bad_alloc, so that a test can fail
// each allocation of an operation in turn and check what the operation
// leaves behind. It works by replacing the global operator new of the test
// binary; the replacement counts only while a FailingAllocation lives, and
// only the allocations of the thread that made it, so it costs the library
// nothing and other tests nothing either.
//
// The address and thread sanitizers bring their own operator new, and a
// replacement would mix their allocations with plain malloc ones; in their
// builds the replacement is left out and available() is false.
#pragma once

#include <cstddef>

namespace quorvel::testing {

class FailingAllocation {
 public:
  static bool available() noexcept;

  // The nth allocation from now on (1: the next one) throws std::bad_alloc.
  explicit FailingAllocation(std::size_t nth) noexcept;
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Whether the chosen allocation came and threw.
  bool fired() const noexcept;
};

}  // namespace quorvel::testing
