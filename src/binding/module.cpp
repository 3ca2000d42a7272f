// The extension module quorvel_core: its load hooks and its execution
// function, which adds the three classes and version() and fills __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/compat.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/py_error.hpp"
#include "binding/type_registry.hpp"

namespace quorvel::py {

namespace {

PyObject* version(PyObject*, PyObject*) {
  return entry_point<PyObject*>(nullptr, [] { return check(PyUnicode_FromString("0.0.7")).release(); });
}

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

// Sets module.NAME = object and appends NAME to __all__, creating the list
// on the first addition.
void add_public(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) raise_current();
  PyRef key = check(PyUnicode_FromString(name));
  check_status(PyObject_SetAttr(module, key.get(), object));
  PyRef all_name = check(PyUnicode_FromString("__all__"));
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttr(module, all_name.get(), all.get()));
  }
  // A module executed again (importlib.reload) keeps one entry per name.
  const int present = PySequence_Contains(all.get(), key.get());
  check_status(present);
  if (present == 0) check_status(PyList_Append(all.get(), key.get()));
}

int module_exec(PyObject* module) {
  return entry_point<int>(-1, [&] {
    add_public(module, "GraphStore", reinterpret_cast<PyObject*>(graph_store_type()));
    add_public(module, "PayloadDescriptor", reinterpret_cast<PyObject*>(payload_descriptor_type()));
    add_public(module, "IncrementalReducer", reinterpret_cast<PyObject*>(incremental_reducer_type()));
    PyRef function = check(PyCMethod_New(&version_def, nullptr, nullptr, nullptr));
    add_public(module, "version", function.get());
    // Not public: what pickled stores are rebuilt with (GraphStore.__reduce__).
    PyObject* restorer = graph_store_restorer();
    if (restorer == nullptr) raise_current();
    check_status(PyObject_SetAttrString(module, "_restore_graph_store", restorer));
    return 0;
  });
}

}  // namespace

}  // namespace quorvel::py

// The execution slots shared by both load hooks.
#define QUORVEL_EXEC_SLOTS                                                         \
  {Py_mod_exec, reinterpret_cast<void*>(quorvel::py::module_exec)},                \
      QUORVEL_MULTIPLE_INTERPRETERS_SLOT QUORVEL_GIL_SLOT

#if PY_VERSION_HEX >= 0x030C0000
#define QUORVEL_MULTIPLE_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QUORVEL_MULTIPLE_INTERPRETERS_SLOT
#endif

#ifdef Py_mod_gil
// The module guards all shared state with its own locks.
#define QUORVEL_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define QUORVEL_GIL_SLOT
#endif

#if defined(Py_mod_name) && defined(Py_mod_abi)
// Interpreters with the slot-array export hook get the complete module
// description from it; the classic hook's definition reuses the same
// array through its execution slots below.
PyABIInfo_VAR(quorvel_abi_info);
static PyModuleDef_Slot quorvel_module_slots[] = {
    {Py_mod_abi, &quorvel_abi_info},
    {Py_mod_name, const_cast<char*>("quorvel_core")},
    {Py_mod_doc, const_cast<char*>("")},
    QUORVEL_EXEC_SLOTS
    {0, nullptr},
};
static PyModuleDef_Slot* const quorvel_def_slots = quorvel_module_slots + 3;
#else
static PyModuleDef_Slot quorvel_module_slots[] = {
    QUORVEL_EXEC_SLOTS
    {0, nullptr},
};
static PyModuleDef_Slot* const quorvel_def_slots = quorvel_module_slots;
#endif

static PyModuleDef quorvel_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel_core",
    "",
    0,
    nullptr,
    quorvel_def_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit_quorvel_core(void) { return PyModuleDef_Init(&quorvel_module_def); }

extern "C" __attribute__((visibility("default"))) PyModuleDef_Slot* PyModExport_quorvel_core(void) {
  return quorvel_module_slots;
}
