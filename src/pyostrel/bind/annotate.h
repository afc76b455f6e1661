// Python type annotations of native types, for the typed signature line that
// heads every bound callable's docstring ("get_int(pos: int) -> int"); the
// stubs and docs/api.md are generated from those lines (tools/gen_stubs.py).
//
// The text signature before "--" stays unannotated: inspect.signature refuses
// annotations there, and a return annotation cannot follow its ")" at all.
//
// Each conversion has its annotation beside it: an argument's type says what
// Arg<T> accepts (a vector takes any sequence), a result's what ToPy<T> makes.
// A type converted by hand-written code (Object, Ref) is Any.
#pragma once

#include <array>
#include <concepts>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyostrel/bind/convert.h"
#include "pyostrel/bind/registry.h"

namespace pyostrel::bind {

enum class Dir { in, out };  // an argument's type, or a result's

// The name of the class defined over T; the registry knows every name from loading on, so a signature may name
// a class built after its own.
template <class T>
std::string class_annotation() {
  const char* name = class_name_of(typeid(T));
  if (!name) throw qel::InternalError(std::string("a signature names a type no class is defined over: ") + typeid(T).name());
  return name;
}

// A class type without an annotation of its own is an instance of the class defined over it; with no class
// over it (a type converted by hand), Any.
template <class T, Dir D>
struct PyType {
  static std::string text() {
    if constexpr (std::is_class_v<T>) {
      if (const char* name = class_name_of(typeid(T))) return name;
    }
    return "Any";
  }
};

template <class T, Dir D>
std::string py_type() {
  if constexpr (std::is_void_v<T>) {
    return "None";
  } else {
    return PyType<std::remove_cvref_t<T>, D>::text();
  }
}

template <class T, Dir D>
  requires std::integral<T>
struct PyType<T, D> {
  static std::string text() { return std::is_same_v<T, bool> ? "bool" : "int"; }
};
template <Dir D>
struct PyType<double, D> {
  static std::string text() { return "float"; }
};
template <Dir D>
struct PyType<AnyInt, D> : PyType<int, D> {};
template <Dir D>
struct PyType<IgnoredInt, D> : PyType<int, D> {};

template <class T>
concept BytesLike = std::same_as<T, Blob> || std::same_as<T, Utf8> || std::same_as<T, std::string> ||
                    std::same_as<T, std::string_view> || std::same_as<T, qel::wire::Bytes> ||
                    std::same_as<T, RenderedBytes>;
template <BytesLike T, Dir D>
struct PyType<T, D> {
  static std::string text() { return "bytes"; }
};

// A list comes back; any sequence but str goes in.
template <class T, Dir D>
std::string list_of() {
  return (D == Dir::in ? "Sequence[" : "list[") + py_type<T, D>() + "]";
}
template <class T, Dir D>
struct PyType<std::vector<T>, D> {
  static std::string text() { return list_of<T, D>(); }
};
// A byte view is bytes only (BytesLike above), not any sequence of ints.
template <class T, Dir D>
  requires(!std::same_as<T, std::uint8_t>)
struct PyType<std::span<const T>, D> {
  static std::string text() { return list_of<T, D>(); }
};
template <class T, std::size_t N, Dir D>
struct PyType<std::array<T, N>, D> {
  static std::string text() { return list_of<T, D>(); }
};
template <Dir D>
struct PyType<Sequence, D> {
  static std::string text() { return "Sequence[Any]"; }
};
template <Dir D>
struct PyType<Utf8List, D> {
  static std::string text() { return list_of<Utf8, D>(); }
};

template <class K, class V, Dir D>
struct PyType<std::map<K, V>, D> {
  static std::string text() { return "dict[" + py_type<K, D>() + ", " + py_type<V, D>() + "]"; }
};

// An optional argument is a parameter with a default: it takes what T takes.
template <class T>
struct PyType<std::optional<T>, Dir::in> {
  static std::string text() { return py_type<T, Dir::in>(); }
};

template <Dir D, class... T>
std::string tuple_type() {
  std::string out = "tuple[";
  bool first = true;
  ((out += (first ? "" : ", ") + py_type<T, D>(), first = false), ...);
  return out + "]";
}
template <class A, class B, Dir D>
struct PyType<std::pair<A, B>, D> {
  static std::string text() { return tuple_type<D, A, B>(); }
};
template <class... T, Dir D>
struct PyType<std::tuple<T...>, D> {
  static std::string text() { return tuple_type<D, T...>(); }
};

}  // namespace pyostrel::bind
