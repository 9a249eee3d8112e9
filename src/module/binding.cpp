// Argument binding with the interpreter's own TypeError wording, and argument conversion.
#include "module/binding.hpp"

#include <cstring>
#include <string>

#include "module/errors.hpp"
#include "module/numpy_api.hpp"

namespace quorlix::py {
namespace {

void set_missing_error(const FunctionDescription& fn, const BoundArguments& bound) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < fn.parameter_count; ++i) missing += bound[i] == nullptr;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < fn.parameter_count; ++i) {
    if (bound[i] != nullptr) continue;
    if (seen > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += seen + 1 == missing ? ", and " : ", ";
      }
    }
    names += "'";
    names += fn.parameters[i];
    names += "'";
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", fn.name, missing,
               missing == 1 ? "argument" : "arguments", names.c_str());
}

// Re-raises a pending TypeError (exactly that type) as "argument '<parameter>': <message>".
void prefix_type_error(const char* parameter) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  Ref message(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!message) return;
  Ref text(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
  if (!text) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  if (value != nullptr) {
    PyObject* cause = PyException_GetCause(value);                         // new reference or NULL
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

template <class View>
bool to_view(PyObject* obj, const char* parameter, int type_num, View& out) {
  if (!ensure_numpy_api()) return false;
  bool ok = PyObject_TypeCheck(obj, ndarray_type());
  const auto* array = reinterpret_cast<const NumpyArrayFields*>(obj);
  ok = ok && array->nd == 1 && dtype_matches(array->descr, type_num);
  if (!ok) {
    set_cast_error(obj, "ndarray");
    prefix_type_error(parameter);
    return false;
  }
  out = View(array->data, static_cast<std::size_t>(array->dimensions[0]), array->strides[0]);
  return true;
}

bool long_to_count(PyObject* integer, std::uint64_t& out) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool type_attribute_equals(PyTypeObject* type, const char* attribute, const char* expected) {
  Ref value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<std::size_t>(size) == std::strlen(expected) && std::memcmp(text, expected, size) == 0;
}

bool is_numpy_bool_scalar(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return type_attribute_equals(type, "__module__", "numpy") &&
         (type_attribute_equals(type, "__name__", "bool_") ||
          type_attribute_equals(type, "__name__", "bool"));
}

// Calls the type's __bool__ on obj; the result must be a bool.
bool numpy_bool_value(PyObject* obj, bool& out) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
  if (!method) {
    PyErr_Clear();
    std::string name = qualified_name(type);
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 name.c_str());
    return false;
  }
  auto descr_get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get));
  if (descr_get != nullptr) {
    method = Ref(descr_get(method.get(), obj, reinterpret_cast<PyObject*>(type)));
    if (!method) return false;
  }
  Ref result(PyObject_CallNoArgs(method.get()));
  if (!result) return false;
  if (!PyBool_Check(result.get())) {
    set_cast_error(result.get(), "bool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

}  // namespace

bool bind_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArguments& bound) {
  bound.fill(nullptr);
  const auto count = static_cast<Py_ssize_t>(fn.parameter_count);
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", fn.name, count,
                 nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    Py_ssize_t size = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (name == nullptr) PyErr_Clear();
    std::size_t match = fn.parameter_count;
    for (std::size_t i = 0; name != nullptr && i < fn.parameter_count; ++i) {
      const char* parameter = fn.parameters[i];
      if (std::strlen(parameter) == static_cast<std::size_t>(size) &&
          std::memcmp(parameter, name, size) == 0) {
        match = i;
        break;
      }
    }
    if (match == fn.parameter_count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fn.name, key);
      return false;
    }
    if (bound[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn.name,
                   fn.parameters[match]);
      return false;
    }
    bound[match] = args[nargs + j];
  }

  for (std::size_t i = 0; i < fn.parameter_count; ++i) {
    if (bound[i] == nullptr) {
      set_missing_error(fn, bound);
      return false;
    }
  }
  return true;
}

bool to_sample(PyObject* obj, const char* parameter, Sample& out) {
  return to_view(obj, parameter, kNpyFloat64, out);
}

bool to_sample(PyObject* obj, const char* parameter, BoolSample& out) {
  return to_view(obj, parameter, kNpyBool, out);
}

bool to_count(PyObject* obj, const char* parameter, std::uint64_t& out) {
  if (PyLong_Check(obj)) return long_to_count(obj, out);
  Ref index(PyNumber_Index(obj));
  if (!index) {
    prefix_type_error(parameter);
    return false;
  }
  return long_to_count(index.get(), out);
}

bool to_flag(PyObject* obj, const char* parameter, bool& out) {
  bool ok = false;
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool_scalar(obj)) {
    ok = numpy_bool_value(obj, out);
  } else {
    set_cast_error(obj, "bool");
  }
  if (!ok) prefix_type_error(parameter);
  return ok;
}

}  // namespace quorlix::py
