// Errors in the binding. A C++ PyErrorOccurred always means a Python
// exception is set; each entry point translates everything that escapes
// its body into a Python exception at exactly one place, entry_point().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"
#include "support/internal_error.hpp"

namespace quorvel::py {

struct PyErrorOccurred {};

// Throws when a C API call reported failure (a Python error is set).
[[noreturn]] inline void raise_current() { throw PyErrorOccurred{}; }

inline PyRef check(PyObject* new_reference) {
  if (new_reference == nullptr) raise_current();
  return PyRef::steal(new_reference);
}

inline void check_status(int status) {
  if (status < 0) raise_current();
}

// Sets an exception of the given type with a UTF-8 message and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// The module's exception for broken internal guarantees, derived directly
// from BaseException; created on first use.
PyObject* panic_exception_type();
void set_panic(std::string_view message);

// Adds the note "while processing 'NAME'" to the exception being raised.
void add_processing_note(const char* parameter);

// Makes sure this thread can throw a C++ exception before its first call
// does anything else. The per-thread state that throwing needs is set up on
// a thread's first throw, from the heap; were that first throw the
// std::bad_alloc of an exhausted heap, setting it up would fail and the C
// library would abort the process. Done once per thread, while memory is
// still there: a throw and catch of nothing.
void prepare_thread_for_exceptions() noexcept;

// Runs body(); converts a C++ failure into a set Python exception and the
// given error value.
template <class Result, class Body>
Result entry_point(Result error_value, Body&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    return body();
  } catch (const PyErrorOccurred&) {
  } catch (const LimitExceeded& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const InternalError& e) {
    set_panic(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown internal failure");
  }
  return error_value;
}

}  // namespace quorvel::py
