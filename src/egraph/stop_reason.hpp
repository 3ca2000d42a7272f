// Why a run of the runner ended.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel::egraph {

class StopReason {
 public:
  enum class Kind : std::uint8_t { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };

  static StopReason saturated() { return StopReason(Kind::Saturated); }
  // The number of iterations completed.
  static StopReason iteration_limit(std::uint64_t iterations) {
    StopReason reason(Kind::IterationLimit);
    reason.count_ = iterations;
    return reason;
  }
  // The e-graph's total size.
  static StopReason node_limit(std::uint64_t size) {
    StopReason reason(Kind::NodeLimit);
    reason.count_ = size;
    return reason;
  }
  // Elapsed seconds since the first iteration started.
  static StopReason time_limit(double seconds) {
    StopReason reason(Kind::TimeLimit);
    reason.seconds_ = seconds;
    return reason;
  }
  static StopReason other(std::string text) {
    StopReason reason(Kind::Other);
    reason.text_ = std::move(text);
    return reason;
  }

  Kind kind() const noexcept { return kind_; }
  // IterationLimit: iterations; NodeLimit: size; 0 otherwise.
  std::uint64_t count() const noexcept { return count_; }
  double seconds() const noexcept { return seconds_; }
  const std::string& text() const noexcept { return text_; }

  // For example "Saturated", "IterationLimit(12)", "NodeLimit(4096)".
  std::string to_string() const;

  friend bool operator==(const StopReason&, const StopReason&) = default;

 private:
  explicit StopReason(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::uint64_t count_ = 0;
  double seconds_ = 0.0;
  std::string text_;
};

}  // namespace quorvel::egraph
