// Matching fast-call arguments to parameters, and converting them to the core's typed inputs.
#pragma once

#include <array>
#include <cstdint>

#include "core/sample.hpp"
#include "module/python.hpp"

namespace quorlix::py {

inline constexpr std::size_t kMaxParameters = 5;

// The static description of one function's parameters: all required, positional or keyword.
struct FunctionDescription {
  const char* name;
  std::size_t parameter_count;
  std::array<const char*, kMaxParameters> parameters;
};

// The bound argument objects (borrowed from the caller's vector), in parameter order.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

// Matches positional and keyword arguments to the parameters. Returns false with TypeError set.
bool bind_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArguments& bound);

// Each converter returns false with an exception set. A TypeError raised by a conversion is
// re-raised as "argument '<name>': <message>", keeping its cause; other types pass unchanged.
bool to_sample(PyObject* obj, const char* parameter, Sample& out);
bool to_sample(PyObject* obj, const char* parameter, BoolSample& out);
bool to_count(PyObject* obj, const char* parameter, std::uint64_t& out);
bool to_flag(PyObject* obj, const char* parameter, bool& out);

}  // namespace quorlix::py
