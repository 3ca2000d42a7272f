// Mapping of the store's errors to Python exceptions.
#pragma once

#include "binding/py_error.hpp"
#include "node/bad_node_id.hpp"
#include "support/outcome.hpp"

namespace quorvel::py {

// BadNodeId becomes ValueError "no node with id N".
[[noreturn]] inline void raise_bad_node_id(const BadNodeId& error) { raise(PyExc_ValueError, error.message()); }

template <class T>
T value_or_raise(Outcome<T, BadNodeId>&& outcome) {
  if (!outcome.ok()) raise_bad_node_id(outcome.error());
  return std::move(outcome).value();
}

}  // namespace quorvel::py
