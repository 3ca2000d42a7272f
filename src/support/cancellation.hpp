// Stopping a long operation from outside the core, without the core knowing
// who asks. The caller installs a CancellationCheck on its thread for the
// duration of one operation (CancellationScope); long loops count their work
// on a CancellationPoller, which asks the check once every `interval` units
// and throws Cancelled when it says so.
//
// The check lives in a thread-local slot rather than in a parameter, so that
// the passes between the caller and the loops (the pipeline, the rewrite
// engine, the store) need no extra argument. A poller reads the slot once,
// when it is made; after that a unit of work costs one decrement and one
// branch, and the check itself runs only every `interval` units. No clock is
// read.
//
// Cancelled unwinds through destructors only: locks are released, whatever
// the operation was building is dropped, and the state it started from is
// unchanged (each poll sits where that holds; see the callers). It is not an
// internal failure: it poisons no mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace quorvel {

class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override { return "operation cancelled"; }
};

struct CancellationCheck {
  // Units of work between two calls of `cancelled`.
  static constexpr std::uint32_t kDefaultInterval = 4096;

  // Whether the operation should stop. Runs on the operation's thread,
  // possibly with core locks held: it must not block or call into the core.
  bool (*cancelled)(void* context) = nullptr;
  void* context = nullptr;
  std::uint32_t interval = kDefaultInterval;
};

// Installs check on this thread until the scope ends, then puts back the
// check that was installed before (scopes nest).
class CancellationScope {
 public:
  explicit CancellationScope(const CancellationCheck& check) noexcept;
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  const CancellationCheck* previous_;
};

// The check installed on this thread, or nullptr.
const CancellationCheck* current_cancellation() noexcept;

// The work counter of one loop. Without an installed check, ticking costs
// the same and never throws.
class CancellationPoller {
 public:
  CancellationPoller() noexcept;

  // Counts one unit of work; every interval-th unit asks the check.
  void tick() {
    if (--countdown_ == 0) poll();
  }
  // Counts units of work at once (a chunk of a loop).
  void tick(std::size_t units) {
    if (units >= countdown_) {
      poll();
    } else {
      countdown_ -= static_cast<std::uint32_t>(units);
    }
  }

 private:
  // Restarts the countdown and throws Cancelled when the check says so.
  void poll();

  const CancellationCheck* check_;
  std::uint32_t countdown_;
};

}  // namespace quorvel
