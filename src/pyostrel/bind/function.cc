// Module-level functions and module attributes.
#include "pyostrel/bind/function.h"

#include <cstring>

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

bool add_constants(PyObject* module, std::span<const IntConstant> constants) noexcept {
  for (const IntConstant& c : constants) {
    if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return false;
  }
  return true;
}

}  // namespace pyostrel::bind
