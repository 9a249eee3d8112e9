// Module definition and execution: starts the worker pool, builds the submodules stats and info, and
// registers the functions in them.
#include <string>

#include "module/errors.hpp"
#include "module/functions.hpp"
#include "module/python.hpp"
#include "pool/pool.hpp"

namespace quorlix::py {
namespace {

// Each function's __self__ is its submodule, so the methods are created without METH_STATIC.
constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

template <auto Function>
PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Function));
}

PyMethodDef stats_methods[] = {
    {"pearson_corr", entry<&pearson_corr>(), kCallFlags, "pearson_corr(x, y)\n--\n\nPython-usable scripts"},
    {"spearman_corr", entry<&spearman_corr>(), kCallFlags, "spearman_corr(x, y)\n--\n\n"},
    {"phi_coef", entry<&phi_coef>(), kCallFlags, "phi_coef(x, y)\n--\n\n"},
};

PyMethodDef info_methods[] = {
    {"ksg_mi", entry<&ksg_mi>(), kCallFlags, "ksg_mi(x, y, k, normalize)\n--\n\n"},
    {"ksg_cmi", entry<&ksg_cmi>(), kCallFlags, "ksg_cmi(x, y, z, k, normalize)\n--\n\n"},
    {"ksg_ii", entry<&ksg_ii>(), kCallFlags, "ksg_ii(x, y, z, k, normalize)\n--\n\n"},
    {"kl_h", entry<&kl_h>(), kCallFlags, "kl_h(x, k)\n--\n\nPython-usable scripts"},
};

// The pool's interrupt check: runs on the calling thread, which holds the interpreter lock.
bool signals_pending() { return PyErr_CheckSignals() != 0; }

// The quiet one: takes a pending Ctrl-C without running its handler (main thread only, like all handlers).
bool sigint_pending() { return PyOS_InterruptOccurred() != 0; }

// Appends name to module.__all__ (creating the list if absent) and sets module.<name> = value.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    set_cast_error(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) != 0) {
    set_panic("could not append __name__ to __all__: " + take_error_rendering());
    return false;
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool register_function(PyObject* submodule, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(submodule));
  if (!module_name) return false;
  Ref function(PyCMethod_New(def, submodule, module_name.get(), nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    set_cast_error(name.get(), "str");
    return false;
  }
  return add_to_module(submodule, name.get(), function.get());
}

// Attaches submodule to the top module under the last component of its name.
bool add_submodule(PyObject* top, PyObject* submodule) {
  Ref full_name(PyModule_GetNameObject(submodule));
  if (!full_name) return false;
  Ref dot(PyUnicode_FromString("."));
  if (!dot) return false;
  Py_ssize_t length = PyUnicode_GetLength(full_name.get());
  Py_ssize_t last_dot = PyUnicode_Find(full_name.get(), dot.get(), 0, length, -1);
  if (last_dot == -2) return false;
  Ref name(last_dot < 0 ? Ref::borrowed(full_name.get())
                        : Ref(PyUnicode_Substring(full_name.get(), last_dot + 1, length)));
  if (!name) return false;
  return add_to_module(top, name.get(), submodule);
}

// Creates the submodule `name`, registers `methods` in it and attaches it to the top module.
bool build_submodule(PyObject* top, const char* name, PyMethodDef* methods, std::size_t count) {
  Ref name_object(PyUnicode_FromString(name));
  if (!name_object) return false;
  Ref submodule(PyModule_NewObject(name_object.get()));
  if (!submodule) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!register_function(submodule.get(), &methods[i])) return false;
  }
  return add_submodule(top, submodule.get());
}

// No C++ exception may unwind into the interpreter: the building steps allocate strings as well.
int exec_module(PyObject* top) {
  try {
    pool::start_global_pool();
    pool::set_interrupt_check(&signals_pending);
    pool::set_interrupt_peek(&sigint_pending);
    if (!build_submodule(top, "stats", stats_methods, std::size(stats_methods))) return -1;
    if (!build_submodule(top, "info", info_methods, std::size(info_methods))) return -1;
    return 0;
  } catch (...) {
    set_from_current_exception();
    return -1;
  }
}

// Private: the only name the module holds beyond __all__, used to unpickle PanicException.
PyMethodDef top_methods[] = {
    {"_panic", rebuild_panic, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorlix",
    "",
    0,
    top_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorlix::py

PyMODINIT_FUNC PyInit_quorlix(void) { return PyModuleDef_Init(&quorlix::py::module_def); }
