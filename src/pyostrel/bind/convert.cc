// Conversions between Python objects and native values.
#include "pyostrel/bind/convert.h"

#include <cstring>

#include "pyostrel/bind/errors.h"
#include "qel/text/utf8.h"

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

bool Arg<std::uint64_t>::convert(PyObject* obj, std::uint64_t& out) noexcept {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0 && v >= 0) {
    out = static_cast<std::uint64_t>(v);
    return true;
  }
  if (overflow == 0 && v == -1 && PyErr_Occurred()) return false;
  const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (overflow > 0) {
      PyErr_Clear();
      return raise_int_overflow();
    }
    return false;  // negative: the interpreter's own message
  }
  out = u;
  return true;
}

bool Arg<bool>::convert(PyObject* obj, bool& out) noexcept {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy's bool scalar, recognised by name so NumPy need not be imported.
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return wrong_type(obj, "bool");
}

std::string Utf8::validated() const { return qel::text::utf8_string(bytes); }

bool assign_bytes(std::string& out, qel::wire::Bytes bytes) noexcept {
  try {
    out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

bool Arg<std::string>::convert(PyObject* obj, std::string& out) noexcept {
  Utf8 text;
  if (!Arg<Utf8>::convert(obj, text)) return false;
  try {
    out = text.validated();
    return true;
  } catch (...) {
    set_python_error("");
    return false;
  }
}

bool as_fast_sequence(PyObject* obj, Ref& fast) noexcept {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)");
    return false;
  }
  if (!PySequence_Check(obj)) return wrong_type(obj, "Sequence");
  fast = Ref(PySequence_Fast(obj, "expected a sequence"));
  return static_cast<bool>(fast);
}

bool tuple_of_length(PyObject* obj, Py_ssize_t n) noexcept {
  if (!PyTuple_Check(obj)) return wrong_type(obj, "tuple");
  if (PyTuple_GET_SIZE(obj) == n) return true;
  PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, PyTuple_GET_SIZE(obj));
  return false;
}

bool Arg<Utf8List>::convert(PyObject* obj, Utf8List& out) noexcept {
  if (!as_fast_sequence(obj, out.owner)) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out.owner.get());
  try {
    out.items.resize(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  PyObject** items = PySequence_Fast_ITEMS(out.owner.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Blob blob;
    if (!Arg<Blob>::convert(items[i], blob)) return false;  // runs no Python code
    out.items[static_cast<std::size_t>(i)] = blob.bytes;
  }
  return true;
}

std::vector<std::string> Utf8List::validated() const {
  std::vector<std::string> out;
  out.reserve(items.size());
  for (const qel::wire::Bytes& item : items) out.push_back(qel::text::utf8_string(item));
  return out;
}

bool Arg<AnyInt>::convert(PyObject* obj, AnyInt& out) noexcept {
  Ref index(PyNumber_Index(obj));  // the interpreter's own TypeError otherwise
  if (!index) return false;
  int overflow = 0;
  out.value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (out.value == -1 && PyErr_Occurred()) return false;
  out.fits = overflow == 0;
  if (out.fits) return true;
  Ref text(PyObject_Str(index.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!utf8) return false;
  try {
    out.decimal = utf8;
    return true;
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace pyostrel::bind
