// Runs a matching program against one class.
#pragma once

#include <cstddef>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/program.hpp"
#include "egraph/subst.hpp"

namespace quorvel::egraph {

// The machine state of one search: registers, backtracking points and the
// Lookup buffer. Backtracking uses an explicit stack of choice points, so
// deep patterns never recurse. A machine may be reused for many classes of
// one search; separate searches use separate machines.
class Machine {
 public:
  // Runs program with register 0 = eclass and appends each complete match,
  // as a Subst built from the subst layout, to out. Stops as soon as limit
  // matches were found; returns how many were appended. The e-graph must be
  // clean.
  std::size_t run(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit,
                  std::vector<Subst>& out);

 private:
  struct ChoicePoint {
    std::uint32_t pc;
    const SymbolLang* next;  // Bind: next node to try
    const SymbolLang* end;
    Id next_class;           // Scan: next class id to try
  };

  // Advances the choice point on top of the stack to its next alternative;
  // returns false when it has none left.
  bool advance(const EGraph& egraph, const Program& program, ChoicePoint& point);
  bool run_lookup(const EGraph& egraph, const Instruction& instruction);

  std::vector<Id> registers_;
  std::vector<ChoicePoint> stack_;
  std::vector<Id> lookup_buffer_;
};

}  // namespace quorvel::egraph
