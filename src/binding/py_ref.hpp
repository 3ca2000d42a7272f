// Owned Python references live only in PyRef handles. A handle is made
// either by stealing a reference the caller owns, or by taking a new one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a reference the caller owns (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef new_ref(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorvel::py
