// The one place where C++ exceptions become Python exceptions.
#include "pyostrel/bind/errors.h"

#include <new>
#include <stdexcept>

#include "pyostrel/bind/ref.h"

namespace pyostrel::bind {

namespace {
PyObject* g_internal_error = nullptr;
}

bool init_internal_error_type() noexcept {
  if (g_internal_error) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      "pyostrel.InternalError", "A violated internal invariant of pyostrel.", PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_type() noexcept { return g_internal_error; }

void set_internal_error(const std::string& message) noexcept {
  PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, message.c_str());
}

void set_python_error(const char* prefix) noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) set_internal_error("error reported without a Python exception");
  } catch (const qel::Error& e) {
    try {
      PyErr_SetString(PyExc_Exception, (std::string(prefix) + e.what()).c_str());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
  } catch (const qel::InternalError& e) {
    set_internal_error(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: an allocation that
    // cannot be satisfied, whatever the size that caused it.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_error(e.what());
  } catch (...) {
    set_internal_error("unknown C++ exception");
  }
}

void prefix_argument_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
  Ref cause(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref cause(value);
  Py_XDECREF(type);
  if (tb) {
    PyException_SetTraceback(cause.get(), tb);
    Py_DECREF(tb);
  }
#endif
  Ref text(PyObject_Str(cause.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace pyostrel::bind
