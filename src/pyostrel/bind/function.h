// Module-level functions and module attributes.
#pragma once

#include <initializer_list>
#include <span>

#include "pyostrel/bind/call.h"

namespace pyostrel::bind {

template <auto F, int Alias>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = FunctionSig<decltype(F)>;
  const CallInfo& info = call_info<F, Alias>;
  return with_args(typename S::Args{}, *info.params, args, nargs, kwnames, [&](auto&... a) -> PyObject* {
    return call_and_convert(info.prefix, [&]() -> decltype(auto) { return F(std::move(a)...); });
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

// Binds F as module function `name`; see Class::method for the arguments.
template <auto F, int Alias = 0>
bool add_function(PyObject* module, const char* name, std::initializer_list<const char*> params,
                  const char* prefix = "", const char* doc = "") noexcept {
  try {
    using S = FunctionSig<decltype(F)>;
    auto* p = new Params(name, params);  // lives as long as the function
    if (p->size() != S::Args::size) throw qel::InternalError(std::string("parameter names do not match ") + name);
    call_info<F, Alias> = CallInfo{p, prefix};
    auto* def = new PyMethodDef{
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F, Alias>)),
        METH_FASTCALL | METH_KEYWORDS, keep(std::string(name) + p->signature(false) + "\n--\n\n" + doc)};
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref fn(PyCFunction_NewEx(def, nullptr, module_name.get()));
    return fn && add_object(module, name, fn.get());
  } catch (...) {
    set_python_error("");
    return false;
  }
}

}  // namespace pyostrel::bind
