// Conversions between Python objects and native values.
#include "pyostrel/bind/convert.h"

#include <cstring>

namespace pyostrel::bind {

const char* type_name(PyObject* obj) noexcept {
  const char* full = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot ? dot + 1 : full;
}

bool wrong_type(PyObject* obj, const char* expected) noexcept {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj), expected);
  return false;
}

}  // namespace pyostrel::bind
