// Conversions between Python objects and native values.
//
// Arg<T>::convert(obj, out) converts one argument; on failure it sets the raw
// Python error and returns false (the caller adds the "argument 'name': "
// prefix to TypeErrors). ToPy<T>::convert(value) returns a new reference or
// null with an error set.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <vector>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <string_view>
#include <type_traits>

#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/ref.h"
#include "qel/text/text_buffer.h"
#include "qel/wire/codec.h"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // PyLongObject's digits; Python.h includes it from 3.11 on
#endif

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

// The value of an int that fits one internal digit, read in place: calendar
// arguments carry lists of such ints on every call. False for any other int.
inline bool compact_int_value(PyObject* obj, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) return false;
  out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
  return true;
#else
  const Py_ssize_t size = Py_SIZE(obj);
  if (size < -1 || size > 1) return false;
  out = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
  return true;
#endif
}

template <NativeInt T>
struct Arg<T> {
  static bool convert(PyObject* obj, T& out) noexcept {
    long long v;
    int overflow = 0;
    if (PyLong_CheckExact(obj) && compact_int_value(obj, v)) {
      // v is within +-2^30 here.
      if constexpr (sizeof(T) < 4 || std::is_unsigned_v<T>) {
        if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max())) {
          return raise_int_overflow();
        }
      }
      out = static_cast<T>(v);
      return true;
    }
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

// Unsigned 64-bit: a negative value keeps the interpreter's own OverflowError.
template <>
struct Arg<std::uint64_t> {
  static bool convert(PyObject* obj, std::uint64_t& out) noexcept;
};

// ---- floats and booleans ------------------------------------------------------

template <>
struct Arg<double> {
  static bool convert(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
      out = PyFloat_AS_DOUBLE(obj);
      return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
  }
};

template <>
struct ToPy<double> {
  static PyObject* convert(double v) noexcept { return PyFloat_FromDouble(v); }
};

// bool, or a NumPy bool; anything else is refused.
template <>
struct Arg<bool> {
  static bool convert(PyObject* obj, bool& out) noexcept;
};

template <>
struct ToPy<bool> {
  static PyObject* convert(bool v) noexcept { return PyBool_FromLong(v); }
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
    if (!PyBytes_Check(obj)) return wrong_type(obj, "bytes");
    out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    return true;
  }
};

// Core functions that take wire::Bytes bind directly: the same borrowed view.
template <>
struct Arg<qel::wire::Bytes> {
  static bool convert(PyObject* obj, qel::wire::Bytes& out) noexcept {
    Blob view;
    if (!Arg<Blob>::convert(obj, view)) return false;
    out = view.bytes;
    return true;
  }
};

// A new reference to int(v) without a call into the interpreter once warm: the
// table holds its own reference to each of the interpreter's cached small ints.
inline PyObject* int_from_u8(std::uint8_t v) noexcept {
  static PyObject* table[256];
  PyObject*& slot = table[v];
  if (!slot && !(slot = PyLong_FromLong(v))) return nullptr;
  Py_INCREF(slot);
  return slot;
}

inline PyObject* bytes_from(const void* data, std::size_t size) noexcept {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// Platform text given as `bytes`: the type is checked on conversion, the UTF-8
// only by validated(), so that a call can check its other arguments first.
struct Utf8 {
  qel::wire::Bytes bytes;
  // Throws qel::Error "invalid utf-8: ..." for invalid text.
  std::string validated() const;
};

template <>
struct Arg<Utf8> {
  static bool convert(PyObject* obj, Utf8& out) noexcept {
    Blob blob;
    if (!Arg<Blob>::convert(obj, blob)) return false;
    out.bytes = blob.bytes;
    return true;
  }
};

// Copies `bytes` into `out`; false with MemoryError set when it cannot.
bool assign_bytes(std::string& out, qel::wire::Bytes bytes) noexcept;

// Platform text into a native string: `bytes` holding valid UTF-8, else
// Exception "invalid utf-8: ...".
template <>
struct Arg<std::string> {
  static bool convert(PyObject* obj, std::string& out) noexcept;
};

template <>
struct ToPy<std::string> {
  static PyObject* convert(const std::string& s) noexcept { return bytes_from(s.data(), s.size()); }
};

template <>
struct ToPy<std::string_view> {
  static PyObject* convert(std::string_view s) noexcept { return bytes_from(s.data(), s.size()); }
};

template <>
struct ToPy<qel::wire::Bytes> {
  static PyObject* convert(qel::wire::Bytes b) noexcept { return bytes_from(b.data(), b.size()); }
};

// ---- sequences ------------------------------------------------------------

// Any sequence but str, as a PySequence_Fast list or tuple kept alive with it.
bool as_fast_sequence(PyObject* obj, Ref& fast) noexcept;

template <class T>
struct Arg<std::vector<T>> {
  static bool convert(PyObject* obj, std::vector<T>& out) noexcept {
    Ref fast;
    if (!as_fast_sequence(obj, fast)) return false;
    try {
      out.clear();
      out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())));
      // Element conversions may run Python code that resizes a list argument:
      // re-read the size and hold each item while converting it.
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        PyObject* raw = PySequence_Fast_GET_ITEM(fast.get(), i);
        T value{};
        if constexpr (NativeInt<T>) {
          // An exact int converts without running Python code: no need to hold it.
          if (PyLong_CheckExact(raw)) {
            if (!Arg<T>::convert(raw, value)) return false;
            out.push_back(value);
            continue;
          }
        }
        Ref item = Ref::borrow(raw);
        if (!Arg<T>::convert(item.get(), value)) return false;
        out.push_back(std::move(value));
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }
};

// Any sequence but str, held for the call; for arguments that only its
// length matters of.
struct Sequence {
  Ref fast;
  std::size_t size() const noexcept { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())); }
};

template <>
struct Arg<Sequence> {
  static bool convert(PyObject* obj, Sequence& out) noexcept { return as_fast_sequence(obj, out.fast); }
};

// A sequence of `bytes` texts, validated only by validated().
struct Utf8List {
  Ref owner;  // keeps the items alive for the call
  std::vector<qel::wire::Bytes> items;
  std::vector<std::string> validated() const;
};

template <>
struct Arg<Utf8List> {
  static bool convert(PyObject* obj, Utf8List& out) noexcept;
};

template <class T>
struct ToPy<std::vector<T>> {
  template <class V>
  static PyObject* convert(V&& values) noexcept {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyObject* item;
      if constexpr (std::is_rvalue_reference_v<V&&>) {
        item = ToPy<T>::convert(std::move(values[i]));
      } else {
        item = ToPy<T>::convert(values[i]);
      }
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
};

// A view of elements converts as their vector does (its elements are const,
// so nothing is moved from).
template <class T>
struct ToPy<std::span<const T>> : ToPy<std::vector<T>> {};

template <class K, class V>
struct ToPy<std::map<K, V>> {
  static PyObject* convert(const std::map<K, V>& map) noexcept {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [k, v] : map) {
      Ref key(ToPy<K>::convert(k));
      Ref value(ToPy<V>::convert(v));
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  }
};

// A dict whose keys are platform texts (`bytes`), its items taken at once:
// converting a value may run Python code that changes the dict.
template <class V>
struct Arg<std::map<std::string, V>> {
  static bool convert(PyObject* obj, std::map<std::string, V>& out) noexcept {
    if (!PyDict_Check(obj)) return wrong_type(obj, "dict");
    Ref items(PyDict_Items(obj));
    if (!items) return false;
    std::map<std::string, V> got;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      std::string key;
      V value{};
      if (!Arg<std::string>::convert(PyTuple_GET_ITEM(item, 0), key) ||
          !Arg<V>::convert(PyTuple_GET_ITEM(item, 1), value)) {
        return false;
      }
      try {
        got.insert_or_assign(std::move(key), std::move(value));
      } catch (...) {
        PyErr_NoMemory();
        return false;
      }
    }
    out = std::move(got);
    return true;
  }
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

// ---- pairs and fixed arrays -------------------------------------------------

// A tuple (or subclass) of exactly `n` elements: TypeError naming 'PyTuple'
// for another type, ValueError "expected tuple of length n, but got tuple of
// length m" for another length.
bool tuple_of_length(PyObject* obj, Py_ssize_t n) noexcept;

// A 2-tuple, its elements converted in order; the tuple holds them, so no
// element can go away while the other converts.
template <class A, class B>
struct Arg<std::pair<A, B>> {
  static bool convert(PyObject* obj, std::pair<A, B>& out) noexcept {
    return tuple_of_length(obj, 2) && Arg<A>::convert(PyTuple_GET_ITEM(obj, 0), out.first) &&
           Arg<B>::convert(PyTuple_GET_ITEM(obj, 1), out.second);
  }
};

template <class A, class B>
struct ToPy<std::pair<A, B>> {
  static PyObject* convert(const std::pair<A, B>& p) noexcept {
    Ref first(ToPy<A>::convert(p.first));
    Ref second(ToPy<B>::convert(p.second));
    if (!first || !second) return nullptr;
    PyObject* tuple = PyTuple_New(2);
    if (!tuple) return nullptr;
    PyTuple_SET_ITEM(tuple, 0, first.release());
    PyTuple_SET_ITEM(tuple, 1, second.release());
    return tuple;
  }
};

template <class... T>
struct ToPy<std::tuple<T...>> {
  static PyObject* convert(const std::tuple<T...>& t) noexcept {
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
      Ref items[] = {Ref(ToPy<T>::convert(std::get<I>(t)))...};
      for (const Ref& item : items) {
        if (!item) return nullptr;
      }
      PyObject* tuple = PyTuple_New(sizeof...(T));
      if (!tuple) return nullptr;
      (PyTuple_SET_ITEM(tuple, I, items[I].release()), ...);
      return tuple;
    }(std::index_sequence_for<T...>{});
  }
};

template <class T, std::size_t N>
struct ToPy<std::array<T, N>> {
  static PyObject* convert(const std::array<T, N>& values) noexcept {
    Ref list(PyList_New(N));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* item = ToPy<T>::convert(values[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
};

// ---- Python objects built by the binding itself -----------------------------

// Any object, borrowed for the call, for arguments the function converts itself.
struct Object {
  PyObject* obj = nullptr;
};

template <>
struct Arg<Object> {
  static bool convert(PyObject* obj, Object& out) noexcept {
    out.obj = obj;
    return true;
  }
};

// Any int, however large, for a check that names the accepted values: its
// value when it fits 64 bits, else its decimal text.
struct AnyInt {
  long long value = 0;
  bool fits = true;
  std::string text() const { return fits ? std::to_string(value) : decimal; }
  std::string decimal;
};

template <>
struct Arg<AnyInt> {
  static bool convert(PyObject* obj, AnyInt& out) noexcept;
};

// An int argument kept for compatibility and ignored: any size is accepted.
struct IgnoredInt {};

template <>
struct Arg<IgnoredInt> {
  static bool convert(PyObject* obj, IgnoredInt&) noexcept {
    if (PyLong_Check(obj)) return true;
    Ref index(PyNumber_Index(obj));  // the interpreter's own TypeError otherwise
    return static_cast<bool>(index);
  }
};

template <>
struct ToPy<Ref> {
  static PyObject* convert(Ref r) noexcept { return r.release(); }
};

// Text rendered straight into the bytes object that is returned: grown with
// the interpreter's resize, cut to the text by take(). Nothing is zero-filled
// and nothing is copied after the writing, unless a resize moves it.
class BytesTextBuffer final : public qel::text::TextBuffer {
 public:
  BytesTextBuffer() = default;
  // The bytes written; the buffer is empty afterwards.
  Ref take() {
    if (!bytes_) return Ref(PyBytes_FromStringAndSize("", 0));
    PyObject* p = bytes_.release();
    if (_PyBytes_Resize(&p, static_cast<Py_ssize_t>(size_)) != 0) throw PythonErrorSet{};
    data_ = nullptr, size_ = 0, capacity_ = 0;
    return Ref(p);
  }

 private:
  void regrow(std::size_t n) override {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    if (!bytes_) {
      // Never empty: the empty bytes object is shared, and only an object of our own may be resized.
      n = std::max<std::size_t>(n, 64);
      bytes_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
      if (!bytes_) throw PythonErrorSet{};
    } else {
      PyObject* p = bytes_.release();
      // On failure the object is freed and p is null; MemoryError is set.
      if (_PyBytes_Resize(&p, static_cast<Py_ssize_t>(n)) != 0) throw PythonErrorSet{};
      bytes_ = Ref(p);
    }
    data_ = PyBytes_AS_STRING(bytes_.get());
    capacity_ = n;
  }

  Ref bytes_;
};

// A bytes object a renderer wrote (see BytesTextBuffer): annotated as bytes.
struct RenderedBytes {
  Ref bytes;
};

template <>
struct ToPy<RenderedBytes> {
  static PyObject* convert(RenderedBytes r) noexcept { return r.bytes.release(); }
};

}  // namespace pyostrel::bind
