// Conversions between Python objects and native values.
//
// Arg<T>::convert(obj, out) converts one argument; on failure it sets the raw
// Python error and returns false (the caller adds the "argument 'name': "
// prefix to TypeErrors). ToPy<T>::convert(value) returns a new reference or
// null with an error set.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "pyostrel/bind/ref.h"
#include "qel/wire/codec.h"

namespace pyostrel::bind {

template <class T>
struct Arg;
template <class T>
struct ToPy;

// Short type name of an object ("str", "NetHeader"), as conversion errors show it.
const char* type_name(PyObject* obj) noexcept;

// Raises TypeError "'<type>' object cannot be converted to '<expected>'".
bool wrong_type(PyObject* obj, const char* expected) noexcept;

// ---- integers -------------------------------------------------------------

template <class T>
concept NativeInt = std::integral<T> && !std::same_as<T, bool> && sizeof(T) <= 8 &&
                    !(std::is_unsigned_v<T> && sizeof(T) == 8);

inline bool raise_int_overflow() noexcept {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

template <NativeInt T>
struct Arg<T> {
  static bool convert(PyObject* obj, T& out) noexcept {
    long long v;
    int overflow = 0;
    if (PyLong_Check(obj)) {
      v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    } else {
      // Any object the interpreter accepts as an index; its own TypeError otherwise.
      Ref index(PyNumber_Index(obj));
      if (!index) return false;
      v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    }
    if (overflow) return raise_int_overflow();
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        (sizeof(T) < 8 && v > static_cast<long long>(std::numeric_limits<T>::max()))) {
      return raise_int_overflow();
    }
    out = static_cast<T>(v);
    return true;
  }
};

template <std::integral T>
  requires(!std::same_as<T, bool>)
struct ToPy<T> {
  static PyObject* convert(T v) noexcept {
    if constexpr (std::is_signed_v<T>) {
      return PyLong_FromLongLong(v);
    } else {
      return PyLong_FromUnsignedLongLong(v);
    }
  }
};

// ---- bytes ------------------------------------------------------------------

// A borrowed view of a `bytes` argument: no copy, no UTF-8 check. Valid for
// the duration of the call.
struct Blob {
  qel::wire::Bytes bytes;
  operator qel::wire::Bytes() const noexcept { return bytes; }
};

template <>
struct Arg<Blob> {
  static bool convert(PyObject* obj, Blob& out) noexcept {
    if (!PyBytes_Check(obj)) return wrong_type(obj, "PyBytes");
    out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    return true;
  }
};

inline PyObject* bytes_from(const void* data, std::size_t size) noexcept {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

template <>
struct ToPy<std::string> {
  static PyObject* convert(const std::string& s) noexcept { return bytes_from(s.data(), s.size()); }
};

template <>
struct ToPy<qel::wire::Bytes> {
  static PyObject* convert(qel::wire::Bytes b) noexcept { return bytes_from(b.data(), b.size()); }
};

// ---- optional arguments ---------------------------------------------------

// A parameter declared with a default ("version=4") arrives as an optional.
template <class T>
struct Arg<std::optional<T>> {
  static bool convert(PyObject* obj, std::optional<T>& out) noexcept {
    T value;
    if (!Arg<T>::convert(obj, value)) return false;
    out = std::move(value);
    return true;
  }
};

// ---- Python objects built by the binding itself -----------------------------

template <>
struct ToPy<Ref> {
  static PyObject* convert(Ref r) noexcept { return r.release(); }
};

}  // namespace pyostrel::bind
