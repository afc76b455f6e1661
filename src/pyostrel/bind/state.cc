// Records as tuples of plain values: the repr built from a record's state.
#include "pyostrel/bind/state.h"

namespace pyostrel::bind {

Ref state_repr(const char* type_name, PyObject* state, std::span<const char* const> names) {
  Ref parts(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!parts) throw PythonErrorSet{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    PyObject* part = PyUnicode_FromFormat("%s=%R", names[i], PyTuple_GET_ITEM(state, at));
    if (!part) throw PythonErrorSet{};
    PyList_SET_ITEM(parts.get(), at, part);
  }
  Ref sep(PyUnicode_FromString(", "));
  if (!sep) throw PythonErrorSet{};
  Ref joined(PyUnicode_Join(sep.get(), parts.get()));
  if (!joined) throw PythonErrorSet{};
  Ref text(PyUnicode_FromFormat("%s(%U)", type_name, joined.get()));
  if (!text) throw PythonErrorSet{};
  return text;
}

}  // namespace pyostrel::bind
