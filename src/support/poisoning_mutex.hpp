// A mutex that is poisoned when the work done under it fails internally:
// every later use then fails with a fixed internal error, instead of
// running on state that a half-finished operation may have left broken.
// Neither an allocation failure nor a cancellation poisons it: the
// operations run under it leave their state unchanged (or, where they say
// so, consistent) when an allocation fails or a poll finds them cancelled.
#pragma once

#include <mutex>
#include <new>
#include <string_view>

#include "support/cancellation.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

class PoisoningMutex {
 public:
  // poisoned_message: the invariant text of the error a poisoned mutex
  // raises, e.g. "incremental reducer poisoned".
  explicit PoisoningMutex(std::string_view poisoned_message) noexcept : poisoned_message_(poisoned_message) {}
  PoisoningMutex(const PoisoningMutex&) = delete;
  PoisoningMutex& operator=(const PoisoningMutex&) = delete;

  // Runs f() with the mutex held and returns what it returns.
  template <class F>
  decltype(auto) run(F&& f) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (poisoned_) fail_invariant(poisoned_message_, "PoisonError { .. }");
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const Cancelled&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  std::string_view poisoned_message_;
};

}  // namespace quorvel
