#include "binding/interrupts.hpp"

#include <csignal>

namespace quorvel::py {

namespace {

bool sigint_pending(void*) { return PyOS_InterruptOccurred() != 0; }

const CancellationCheck kPendingInterrupt{&sigint_pending, nullptr, CancellationCheck::kDefaultInterval};

}  // namespace

const CancellationCheck& pending_interrupt_check() noexcept { return kPendingInterrupt; }

void deliver_interrupt() {
  // Ignored when SIGINT has no Python handler; the check never fires then.
  PyErr_SetInterruptEx(SIGINT);
  check_status(PyErr_CheckSignals());
}

}  // namespace quorvel::py
