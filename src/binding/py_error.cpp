#include "binding/py_error.hpp"

#include "binding/compat.hpp"
#include "binding/once_init.hpp"

namespace quorvel::py {

namespace {

struct ThreadReadyToThrow {};

// Touching this also sets up the module's own thread-local block on a new
// thread.
thread_local bool thread_ready_to_throw = false;

}  // namespace

void prepare_thread_for_exceptions() noexcept {
  if (thread_ready_to_throw) return;
  try {
    throw ThreadReadyToThrow{};
  } catch (const ThreadReadyToThrow&) {
  }
  thread_ready_to_throw = true;
}

void raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PyErrorOccurred{};
}

PyObject* panic_exception_type() {
  static OnceObject panic;
  return panic.get([] {
    return PyErr_NewExceptionWithDoc(
        "quorvel_core.PanicException",
        "A broken internal guarantee of quorvel_core. Derived from BaseException so that\n"
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  });
}

void set_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the type failed; that error stays set
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

void add_processing_note(const char* parameter) {
  PyObject* exc = get_raised_exception();
  if (exc == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  static OnceObject add_note_name;
  PyObject* method = add_note_name.get([] {
    PyObject* name = PyUnicode_FromString("add_note");
    if (name != nullptr) PyUnicode_InternInPlace(&name);
    return name;
  });
  if (note && method != nullptr) {
    PyObject* call_args[] = {exc, note.get()};
    PyRef result = PyRef::steal(
        PyObject_VectorcallMethod(method, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) {
      // The note could not be added; the original error is still the one
      // raised.
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  set_raised_exception(exc);
}

}  // namespace quorvel::py
