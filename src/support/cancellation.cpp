#include "support/cancellation.hpp"

namespace quorvel {

namespace {

thread_local const CancellationCheck* installed = nullptr;

// Without a check, the countdown only wraps round now and then.
constexpr std::uint32_t kIdleInterval = 1u << 30;

std::uint32_t interval_of(const CancellationCheck* check) noexcept {
  if (check == nullptr || check->cancelled == nullptr) return kIdleInterval;
  return check->interval == 0 ? 1 : check->interval;
}

}  // namespace

CancellationScope::CancellationScope(const CancellationCheck& check) noexcept : previous_(installed) {
  installed = &check;
}

CancellationScope::~CancellationScope() { installed = previous_; }

const CancellationCheck* current_cancellation() noexcept { return installed; }

CancellationPoller::CancellationPoller() noexcept : check_(installed), countdown_(interval_of(check_)) {}

void CancellationPoller::poll() {
  countdown_ = interval_of(check_);
  if (check_ != nullptr && check_->cancelled != nullptr && check_->cancelled(check_->context)) throw Cancelled{};
}

}  // namespace quorvel
