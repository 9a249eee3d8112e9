// Exception translation and the lazily created PanicException type.
#include "module/errors.hpp"

#include <csignal>
#include <new>
#include <stdexcept>

#include "core/errors.hpp"
#include "kdtree/kdtree.hpp"

namespace quorlix::py {
namespace {

// The texts of PanicException for each internal failure. They are a compatibility contract: callers and
// their tests match on them, so they stay exactly as they are.
constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";
static_assert(KdTree<1>::kMaxPoints == 68719476736, "the capacity text names the tree's limit");

std::string panic_text(const InternalFailure& e) {
  switch (e.failure()) {
    case Failure::kNaN:
    case Failure::kNoNeighbours:
      return kUnwrapNone;
    case Failure::kOutOfDomain:
      return std::string(kUnwrapErr) + "XOutOfRange";
    case Failure::kTooManyPoints:
      return "KdTree capacity exceeded: at most 68719476736 points";
    case Failure::kPoolAlreadyStarted:
      return std::string(kUnwrapErr) + "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";
    case Failure::kPoolStartFailed:
      return std::string(kUnwrapErr) + "ThreadPoolBuildError { kind: IOError(" + e.detail() + ") }";
    case Failure::kPoolLostToFork:
      return "the worker pool was lost to fork() while a job was running";
  }
  return e.what();
}

PyObject* panic_type = nullptr;  // the main interpreter's PanicException, created on first use

constexpr const char* kPanicDoc =
    "Raised when the native code of this module fails an internal invariant.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually\n"
    "propagates to the top and ends the interpreter instead of being swallowed by `except Exception`.";

std::string utf8_of(PyObject* obj) {
  Ref text(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// copyreg's reducer for PanicException: quorlix._panic(*args) rebuilds the exception, so that it pickles by
// a name any interpreter can import (the type's own module, pyo3_runtime, is not importable).
PyObject* reduce_panic(PyObject*, PyObject* exception) {
  Ref module(PyImport_ImportModule("quorlix"));
  if (!module) return nullptr;
  Ref rebuild(PyObject_GetAttrString(module.get(), "_panic"));
  if (!rebuild) return nullptr;
  Ref args(PyObject_GetAttrString(exception, "args"));
  if (!args) return nullptr;
  return PyTuple_Pack(2, rebuild.get(), args.get());
}

PyMethodDef reduce_panic_def = {"_reduce_panic", reduce_panic, METH_O, nullptr};

PyObject* panic_reducer = nullptr;  // reduce_panic as a Python function, created with the main type

// Registers reduce_panic for the type in copyreg's table, which pickle, multiprocessing and cloudpickle
// consult; the type itself gains no attribute. Libraries that register a reducer for every exception type
// (tblib, which Dask installs) may replace it, so it is checked again whenever the exception is raised.
bool register_reducer(PyObject* type) {
  if (panic_reducer == nullptr) {
    panic_reducer = PyCFunction_New(&reduce_panic_def, nullptr);
    if (panic_reducer == nullptr) return false;
  }
  Ref copyreg(PyImport_ImportModule("copyreg"));
  if (!copyreg) return false;
  Ref table(PyObject_GetAttrString(copyreg.get(), "dispatch_table"));
  if (!table) return false;
  Ref current(PyObject_GetItem(table.get(), type));
  if (current && current.get() == panic_reducer) return true;
  PyErr_Clear();
  Ref done(PyObject_CallMethod(copyreg.get(), "pickle", "OO", type, panic_reducer));
  return static_cast<bool>(done);
}

// Only the main interpreter's type is kept: a failed import in a sub-interpreter also raises
// PanicException, and a type created there belongs to that interpreter and must not outlive it.
Ref panic_exception_type() {
  const bool main_interpreter = PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
  if (main_interpreter && panic_type != nullptr) {
    // Without the reducer the exception still works; it only cannot be pickled.
    if (!register_reducer(panic_type)) PyErr_Clear();
    return Ref::borrowed(panic_type);
  }
  Ref type(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  if (type && main_interpreter) {
    if (!register_reducer(type.get())) PyErr_Clear();
    panic_type = Ref::borrowed(type.get()).release();
  }
  return type;
}

}  // namespace

PyObject* rebuild_panic(PyObject*, PyObject* args) {
  Ref type = panic_exception_type();
  if (!type) return nullptr;
  return PyObject_Call(type.get(), args, nullptr);
}

void set_panic(const std::string& message) {
  Ref type = panic_exception_type();
  if (!type) return;  // the failure to create the type is the pending exception
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type.get(), text.get());
}

std::string qualified_name(PyTypeObject* type) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(name.get());
}

void set_cast_error(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  std::string name = qualified_name(Py_TYPE(obj));
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), target);
}

std::string take_error_rendering() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "unknown error";
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  std::string rendering = qualified_name(reinterpret_cast<PyTypeObject*>(type));
  if (value != nullptr) {
    std::string message = utf8_of(value);
    if (!message.empty()) rendering += ": " + message;
  }
  return rendering;
}

bool handle_noted_interrupt() {
  if (PyErr_SetInterruptEx(SIGINT) != 0) return true;
  return PyErr_CheckSignals() == 0;
}

void set_from_current_exception() {
  try {
    throw;
  } catch (const ValidationError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const InternalFailure& e) {
    set_panic(panic_text(e));
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("native code failed with an unknown exception");
  }
}

}  // namespace quorlix::py
