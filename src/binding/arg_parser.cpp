#include "binding/arg_parser.hpp"

#include <string>
#include <vector>

#include "binding/compat.hpp"
#include "binding/py_error.hpp"

namespace quorvel::py {

namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given_count) {
  std::string message = sig.call_name;
  if (sig.n_required_positional != sig.n_positional) {
    message += " takes from " + std::to_string(sig.n_required_positional) + " to " +
               std::to_string(sig.n_positional) + " positional arguments but ";
  } else {
    message += " takes " + std::to_string(sig.n_positional) + " positional arguments but ";
  }
  message += std::to_string(given_count) + (given_count == 1 ? " was given" : " were given");
  raise(PyExc_TypeError, message);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) out += " and ";
      else if (i + 1 == names.size()) out += ", and ";
      else out += ", ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void missing(const Signature& sig, const char* kind, const std::vector<const char*>& names) {
  std::string message = std::string(sig.call_name) + " missing " + std::to_string(names.size()) + " required " +
                        kind + (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names);
  raise(PyExc_TypeError, message);
}

// Places one keyword argument. Keyword-only names are looked up first,
// then the positional-or-keyword ones.
void place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** slots) {
  std::size_t slot = SIZE_MAX;
  for (std::size_t k = 0; k < sig.n_keyword_only && slot == SIZE_MAX; ++k) {
    const char* candidate = sig.keyword_only[k];
    if (unicode_equals_utf8(name, candidate, static_cast<Py_ssize_t>(std::char_traits<char>::length(candidate)))) {
      slot = sig.n_positional + k;
    }
  }
  for (std::size_t k = 0; k < sig.n_positional && slot == SIZE_MAX; ++k) {
    const char* candidate = sig.positional[k];
    if (unicode_equals_utf8(name, candidate, static_cast<Py_ssize_t>(std::char_traits<char>::length(candidate)))) {
      slot = k;
    }
  }
  if (slot == SIZE_MAX) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.call_name, name);
    raise_current();
  }
  if (slots[slot] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.call_name, name);
    raise_current();
  }
  slots[slot] = value;
}

void check_missing(const Signature& sig, PyObject** slots) {
  std::vector<const char*> absent;
  for (std::size_t k = 0; k < sig.n_required_positional; ++k) {
    if (slots[k] == nullptr) absent.push_back(sig.positional[k]);
  }
  if (!absent.empty()) missing(sig, "positional", absent);
  for (std::size_t k = 0; k < sig.n_required_keyword_only; ++k) {
    if (slots[sig.n_positional + k] == nullptr) absent.push_back(sig.keyword_only[k]);
  }
  if (!absent.empty()) missing(sig, "keyword", absent);
}

void clear_slots(const Signature& sig, PyObject** slots) {
  for (std::size_t k = 0; k < sig.n_positional + sig.n_keyword_only; ++k) slots[k] = nullptr;
}

}  // namespace

void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  clear_slots(sig, slots);
  if (static_cast<std::size_t>(nargs) > sig.n_positional) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
  } else if (static_cast<std::size_t>(nargs) >= sig.n_required_positional && sig.n_required_keyword_only == 0) {
    return;  // positional arguments only, and every required one given
  }
  check_missing(sig, slots);
}

void parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  clear_slots(sig, slots);
  if (static_cast<std::size_t>(nargs) > sig.n_positional) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    // The keyword dict is private to this call (the interpreter builds a
    // fresh one), so iterating it needs no critical section.
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(sig, name, value, slots);
  }
  check_missing(sig, slots);
}

}  // namespace quorvel::py
