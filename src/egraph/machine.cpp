#include "egraph/machine.hpp"

#include "support/internal_error.hpp"

namespace quorvel::egraph {

bool Machine::advance(const EGraph& egraph, const Program& program, ChoicePoint& point) {
  const Instruction& instruction = program.instructions[point.pc];
  if (instruction.kind == Instruction::Kind::Bind) {
    // Nodes are sorted by operator first: skip the smaller ones, stop at the
    // first larger one.
    for (; point.next != point.end; ++point.next) {
      const SymbolLang& node = *point.next;
      if (node.op() < instruction.op) continue;
      if (node.op() != instruction.op) {
        point.next = point.end;
        return false;
      }
      if (node.arity() != instruction.arity) continue;
      registers_.resize(instruction.out);
      for (Id child : node.children()) registers_.push_back(child);
      ++point.next;
      return true;
    }
    return false;
  }
  // Scan: every class, in ascending id order.
  const std::size_t ids = egraph.number_of_ids();
  while (point.next_class < ids) {
    const Id id = point.next_class++;
    if (egraph.class_if_root(id) == nullptr) continue;
    registers_.resize(instruction.out);
    registers_.push_back(id);
    return true;
  }
  return false;
}

bool Machine::run_lookup(const EGraph& egraph, const Instruction& instruction) {
  lookup_buffer_.clear();
  for (const ENodeOrReg& entry : instruction.term) {
    if (entry.is_reg) {
      lookup_buffer_.push_back(egraph.find(registers_[entry.reg]));
      continue;
    }
    SymbolLang node = entry.node;
    for (Id& child : node.children()) child = lookup_buffer_[child];
    const std::optional<Id> found = egraph.lookup(std::move(node));
    if (!found) return false;
    lookup_buffer_.push_back(*found);
  }
  return !lookup_buffer_.empty() && lookup_buffer_.back() == egraph.find(registers_[instruction.i]);
}

std::size_t Machine::run(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit,
                         std::vector<Subst>& out) {
  if (!egraph.is_clean()) fail_invariant("Tried to search a dirty e-graph!", "the e-graph has not been rebuilt");
  if (limit == 0) return 0;
  registers_.clear();
  registers_.push_back(eclass);
  stack_.clear();
  std::size_t found = 0;
  const std::size_t length = program.instructions.size();
  std::uint32_t pc = 0;

  bool failed = false;
  // Opens a choice point and takes its first alternative, if it has one.
  auto enter = [&](ChoicePoint choice) {
    stack_.push_back(choice);
    if (advance(egraph, program, stack_.back())) {
      ++pc;
    } else {
      stack_.pop_back();
      failed = true;
    }
  };

  for (;;) {
    // Run forward until the program ends or an instruction fails.
    failed = false;
    while (!failed) {
      if (pc == length) {
        Subst& subst = out.emplace_back();
        for (const auto& [var, reg] : program.subst_layout) subst.insert(var, registers_[reg]);
        if (++found == limit) return found;
        failed = true;
        break;
      }
      const Instruction& instruction = program.instructions[pc];
      switch (instruction.kind) {
        case Instruction::Kind::Bind: {
          // Registers hold canonical ids in a clean e-graph, so the class
          // record is usually found without a union-find walk.
          const EClass* root = egraph.class_if_root(registers_[instruction.i]);
          const EClass& target = root != nullptr ? *root : egraph.eclass(registers_[instruction.i]);
          enter(ChoicePoint{pc, target.nodes.begin(), target.nodes.end(), 0});
          break;
        }
        case Instruction::Kind::Scan:
          enter(ChoicePoint{pc, nullptr, nullptr, 0});
          break;
        case Instruction::Kind::Compare:
          if (egraph.find(registers_[instruction.i]) == egraph.find(registers_[instruction.j])) {
            ++pc;
          } else {
            failed = true;
          }
          break;
        case Instruction::Kind::Lookup:
          if (run_lookup(egraph, instruction)) {
            ++pc;
          } else {
            failed = true;
          }
          break;
      }
    }
    // Backtrack to the most recent choice point that has another alternative.
    for (;;) {
      if (stack_.empty()) return found;
      if (advance(egraph, program, stack_.back())) {
        pc = stack_.back().pc + 1;
        break;
      }
      stack_.pop_back();
    }
  }
}

}  // namespace quorvel::egraph
