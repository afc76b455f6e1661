// Module-level functions and module attributes.
#pragma once

#include <initializer_list>
#include <span>

#include "pyostrel/bind/call.h"

namespace pyostrel::bind {

template <auto F>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = FunctionSig<decltype(F)>;
  return with_args<F>(typename S::Args{}, nullptr, args, nargs, kwnames, [&](auto&... a) -> PyObject* {
    return call_and_convert<F>(nullptr, [&]() -> decltype(auto) { return F(std::move(a)...); });
  });
}

// Adds an existing function object or type under `name`; false with an error set.
bool add_object(PyObject* module, const char* name, PyObject* obj) noexcept;
bool add_type(PyObject* module, PyTypeObject* type) noexcept;

struct IntConstant {
  const char* name;
  long long value;
};
bool add_constants(PyObject* module, std::span<const IntConstant> constants) noexcept;

// The work of add_function that does not depend on F.
bool add_function_binding(PyObject* module, const char* name, PyCFunction trampoline, const CallInfo*& bindings,
                          std::size_t arity, std::initializer_list<const char*> params, const char* prefix,
                          const char* doc, Annotations types) noexcept;

// Binds F as module function `name`; see Class::method for the arguments.
template <auto F>
bool add_function(PyObject* module, const char* name, std::initializer_list<const char*> params,
                  const char* prefix = "", const char* doc = "") noexcept {
  using S = FunctionSig<decltype(F)>;
  return add_function_binding(module, name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>)),
                              bindings_of<F>, S::Args::size, params, prefix, doc,
                              &annotations<S>);
}

}  // namespace pyostrel::bind
