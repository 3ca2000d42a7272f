// Ctrl-C during a long core operation.
//
// The core polls a cancellation check (support/cancellation.hpp) while it
// works. The binding's check asks the interpreter whether SIGINT arrived
// (PyOS_InterruptOccurred): that reads and clears the signal's pending flag
// without running any Python code, so it is safe under a core lock. It is
// true only on the main thread of the main interpreter, where Python
// delivers signals, so calls on other threads are never interrupted. The
// binding never releases the interpreter while it works, so the thread is
// attached whenever the check runs (with or without the GIL).
//
// When the check fires, the core throws Cancelled, which unwinds with every
// lock released and nothing changed. Only then, with no lock held, is the
// signal set pending again and the Python handler run: the default handler
// raises KeyboardInterrupt, which ends the call; a handler that returns lets
// the operation run again from the start, so the call still completes with
// its full result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "binding/compat.hpp"
#include "binding/py_error.hpp"
#include "support/cancellation.hpp"

namespace quorvel::py {

// The check: a pending SIGINT, consumed.
const CancellationCheck& pending_interrupt_check() noexcept;

// Sets SIGINT pending again and runs the Python signal handlers. Throws
// PyErrorOccurred when a handler raised; returns when they all returned.
void deliver_interrupt();

// Runs core(), which must create no Python object and call no Python code,
// with the check installed. Arguments are converted before, once: a retry
// repeats the core operation only. Interrupted and the handler raised: its
// exception ends the call.
template <class Core>
decltype(auto) interruptible(Core&& core) {
  for (;;) {
    try {
      const CancellationScope scope(pending_interrupt_check());
      return core();
    } catch (const Cancelled&) {
      // Unwound: every lock is released and the core state is as it was.
    }
    deliver_interrupt();
  }
}

// For loops that build Python objects with no core lock held: runs the
// Python signal handlers every `interval` units of work.
//
// Since 3.12 PyErr_CheckSignals also runs any collection that the
// allocations have made due. Where the collector is generational that is a
// young collection, cheap for a loop that keeps what it builds hidden from
// the collector, and every signal's handler runs at each poll. On the
// free-threaded build every collection walks the whole heap, the objects
// built so far included: a million-node view ran some 240 of them and took
// nine times as long with the collector on. There the poll asks only
// whether SIGINT arrived, as the core's check does, and runs the handlers
// only then (the default one raises KeyboardInterrupt; one that returns
// lets the loop go on); other signals wait for the call to return, as they
// do during core operations.
class SignalPoller {
 public:
  explicit SignalPoller(std::size_t interval = CancellationCheck::kDefaultInterval) noexcept
      : interval_(interval), countdown_(interval) {}

  // Throws PyErrorOccurred when a handler raised.
  void tick() {
    if (--countdown_ != 0) return;
    countdown_ = interval_;
#if QUORVEL_FREE_THREADED
    if (PyOS_InterruptOccurred()) deliver_interrupt();
#else
    check_status(PyErr_CheckSignals());
#endif
  }

 private:
  std::size_t interval_;
  std::size_t countdown_;
};

}  // namespace quorvel::py
