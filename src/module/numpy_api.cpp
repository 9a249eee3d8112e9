// Locates NumPy's C-API table through the _ARRAY_API capsule of its core multiarray module.
#include "module/numpy_api.hpp"

#include "module/errors.hpp"

namespace quorlix::py {
namespace {

// Table slots, stable across NumPy 1.x and 2.x.
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotEquivTypes = 182;

void** api_table = nullptr;

using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

Ref import(const char* name) {
  Ref module_name(PyUnicode_FromString(name));
  if (!module_name) return Ref();
  return Ref(PyImport_Import(module_name.get()));
}

// Runs the lookup; returns the table or nullptr with a Python exception pending.
void** load_table() {
  Ref numpy = import("numpy");
  if (!numpy) return nullptr;
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  Ref lib = import("numpy.lib");
  if (!lib) return nullptr;
  Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return nullptr;
  Ref major(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return nullptr;
  long major_value = PyLong_AsLong(major.get());
  if (major_value == -1 && PyErr_Occurred()) return nullptr;
  Ref multiarray = import(major_value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
  if (!multiarray) return nullptr;
  Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    set_cast_error(capsule.get(), "PyCapsule");
    return nullptr;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
  return static_cast<void**>(table);
}

}  // namespace

bool ensure_numpy_api() {
  if (api_table != nullptr) return true;
  void** table = load_table();
  if (table == nullptr) {
    std::string cause = take_error_rendering();
    set_panic("Failed to access NumPy array API capsule: " + cause);
    return false;
  }
  api_table = table;
  return true;
}

PyTypeObject* ndarray_type() { return static_cast<PyTypeObject*>(api_table[kSlotArrayType]); }

bool dtype_matches(PyObject* descr, int type_num) {
  auto descr_from_type = reinterpret_cast<DescrFromType>(api_table[kSlotDescrFromType]);
  auto equiv_types = reinterpret_cast<EquivTypes>(api_table[kSlotEquivTypes]);
  Ref expected(descr_from_type(type_num));
  if (!expected) {
    PyErr_Clear();
    return false;
  }
  return descr == expected.get() || equiv_types(descr, expected.get()) != 0;
}

}  // namespace quorlix::py
