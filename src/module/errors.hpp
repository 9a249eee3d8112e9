// Turning failures into Python exceptions: the one place where C++ exceptions meet the interpreter.
#pragma once

#include <string>

#include "core/errors.hpp"
#include "module/python.hpp"

namespace quorlix::py {

// Raises PanicException(message); the type (a BaseException subclass) is created on first use.
void set_panic(const std::string& message);

// quorlix._panic(*args): a new PanicException(*args), not raised. Pickled PanicExceptions are rebuilt by it.
PyObject* rebuild_panic(PyObject* module, PyObject* args);

// Raises TypeError "'<type qualname>' object is not an instance of '<target>'" ("'None' is not an
// instance of '<target>'" for None).
void set_cast_error(PyObject* obj, const char* target);

// Takes the pending Python exception and renders it as "<TypeName>: <message>" (just the type
// name when the message is empty), leaving no exception set.
std::string take_error_rendering();

// Sets the Python exception for the C++ exception being handled; call inside a catch (...) block.
// ValidationError -> ValueError, InternalFailure -> PanicException with its kind's documented text,
// std::bad_alloc and std::length_error -> MemoryError, Interrupted -> the exception the signal check
// raised. Failures on the workers arrive here unchanged, so this is the one table for every thread.
void set_from_current_exception();

// The type's __qualname__ as UTF-8 ("?" if it cannot be read).
std::string qualified_name(PyTypeObject* type);

// Puts back the Ctrl-C that a quiet poll took and runs the signal handlers. Returns false when one of
// them raised (the pending exception), true when the call should start again.
bool handle_noted_interrupt();

// Runs the computation, translating any C++ exception into the matching Python exception. A Ctrl-C noted
// while the computation read its caller's arrays is handled once it has unwound; if no handler raises,
// the computation starts again from its arguments, which the handlers may have changed.
template <class Compute>
PyObject* guarded(Compute&& compute) {
  for (;;) {
    try {
      return compute();
    } catch (const InterruptNoted&) {
      if (!handle_noted_interrupt()) return nullptr;
    } catch (...) {
      set_from_current_exception();
      return nullptr;
    }
  }
}

}  // namespace quorlix::py
