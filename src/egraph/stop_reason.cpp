#include "egraph/stop_reason.hpp"

namespace quorvel::egraph {

std::string StopReason::to_string() const {
  switch (kind_) {
    case Kind::Saturated:
      return "Saturated";
    case Kind::IterationLimit:
      return "IterationLimit(" + std::to_string(count_) + ")";
    case Kind::NodeLimit:
      return "NodeLimit(" + std::to_string(count_) + ")";
    case Kind::TimeLimit:
      return "TimeLimit(" + std::to_string(seconds_) + ")";
    case Kind::Other:
      return "Other(" + text_ + ")";
  }
  return "Other";
}

}  // namespace quorvel::egraph
