// Module-level functions and module attributes.
#include "pyostrel/bind/function.h"

#include <cstring>
#include <string>

namespace pyostrel::bind {

bool add_object(PyObject* module, const char* name, PyObject* obj) noexcept {
  Py_INCREF(obj);
  if (PyModule_AddObject(module, name, obj) < 0) {
    Py_DECREF(obj);
    return false;
  }
  return true;
}

bool add_type(PyObject* module, PyTypeObject* type) noexcept {
  if (!type) return false;
  const char* dot = std::strrchr(type->tp_name, '.');
  return add_object(module, dot ? dot + 1 : type->tp_name, reinterpret_cast<PyObject*>(type));
}

bool add_function_binding(PyObject* module, const char* name, PyCFunction trampoline, const CallInfo*& bindings,
                          std::size_t arity, std::initializer_list<const char*> params, const char* prefix,
                          const char* doc, Annotations types) noexcept {
  try {
    auto* p = new Params(name, params);  // lives as long as the function
    if (p->size() != arity) throw qel::InternalError(std::string("parameter names do not match ") + name);
    // A retried import binds the same functions again.
    if (!bindings) {
      bindings = new CallInfo{nullptr, p, prefix, nullptr};
    } else if (bindings->params->qualname() != p->qualname()) {
      throw qel::InternalError(std::string("one function bound under two names: ") + name);
    }
    auto* def = new PyMethodDef{name, trampoline,
                                METH_FASTCALL | METH_KEYWORDS,
                                keep(callable_doc(name, *p, false, types(), doc))};
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref fn(PyCFunction_NewEx(def, nullptr, module_name.get()));
    return fn && add_object(module, name, fn.get());
  } catch (...) {
    set_python_error("");
    return false;
  }
}

const CallInfo& find_binding(const CallInfo* bindings, PyTypeObject* type) noexcept {
  static const Params kUnknown("?", {});
  static const CallInfo kMissing{nullptr, &kUnknown, "", nullptr};
  for (const CallInfo* b = bindings; b; b = b->next) {
    if (b->type == type) return *b;
  }
  return kMissing;  // unreachable: every trampoline is reached through a binding
}

bool add_constants(PyObject* module, std::span<const IntConstant> constants) noexcept {
  for (const IntConstant& c : constants) {
    if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return false;
  }
  return true;
}

}  // namespace pyostrel::bind
