// The compiled form of a searcher pattern: a small backtracking program.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/subst.hpp"
#include "egraph/symbol_lang.hpp"

namespace quorvel::egraph {

// An index into the machine's register sequence of class ids.
using Reg = std::uint32_t;

// One entry of a Lookup term: a register, or an e-node whose children index
// earlier entries of the same term.
struct ENodeOrReg {
  bool is_reg = false;
  Reg reg = 0;
  SymbolLang node;

  static ENodeOrReg from_reg(Reg reg) { return ENodeOrReg{true, reg, SymbolLang()}; }
  static ENodeOrReg from_node(SymbolLang node) { return ENodeOrReg{false, 0, std::move(node)}; }
};

struct Instruction {
  enum class Kind : std::uint8_t {
    // For each node of class reg[i] with the operator and arity of node: cut
    // the registers back to out, append that node's children, run the rest.
    Bind,
    // Continue only if reg[i] and reg[j] are in one class.
    Compare,
    // Build the ground term bottom-up through lookups; continue only if it
    // exists and its class is that of reg[i].
    Lookup,
    // For each class: cut the registers back to out, append the class id,
    // run the rest.
    Scan,
  };

  Kind kind = Kind::Bind;
  GlobalSymbol op;          // Bind: operator to match
  std::uint32_t arity = 0;  // Bind: number of children to match
  Reg i = 0;                // Bind, Compare, Lookup: the register examined
  Reg j = 0;                // Compare: the other register
  Reg out = 0;              // Bind, Scan: register count before appending
  std::vector<ENodeOrReg> term;  // Lookup

  static Instruction bind(GlobalSymbol op, std::uint32_t arity, Reg i, Reg out) {
    Instruction instruction;
    instruction.kind = Kind::Bind;
    instruction.op = op;
    instruction.arity = arity;
    instruction.i = i;
    instruction.out = out;
    return instruction;
  }
  static Instruction compare(Reg i, Reg j) {
    Instruction instruction;
    instruction.kind = Kind::Compare;
    instruction.i = i;
    instruction.j = j;
    return instruction;
  }
  static Instruction lookup(std::vector<ENodeOrReg> term, Reg i) {
    Instruction instruction;
    instruction.kind = Kind::Lookup;
    instruction.term = std::move(term);
    instruction.i = i;
    return instruction;
  }
  static Instruction scan(Reg out) {
    Instruction instruction;
    instruction.kind = Kind::Scan;
    instruction.out = out;
    return instruction;
  }
};

// The instructions and the subst layout: for each variable of the pattern,
// in the order the compiler met them, the register holding its class once a
// match is complete.
struct Program {
  std::vector<Instruction> instructions;
  std::vector<std::pair<Var, Reg>> subst_layout;
};

}  // namespace quorvel::egraph
