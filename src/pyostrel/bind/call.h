// Trampolines generated from native signatures: parse and convert arguments,
// call, convert the result, translate exceptions.
#pragma once

#include <cstdint>
#include <functional>
#include <tuple>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "pyostrel/bind/annotate.h"
#include "pyostrel/bind/args.h"
#include "pyostrel/bind/convert.h"
#include "pyostrel/bind/errors.h"

namespace pyostrel::bind {

template <class... A>
struct List {
  static constexpr std::size_t size = sizeof...(A);
};

// What a bound callable looks like: its result, the parameters that come from
// Python, and (for methods) whether it reads or modifies the instance.
template <class Fn>
struct Sig;
template <class R, class C, class... A>
struct Sig<R (C::*)(A...)> {
  using Ret = R;
  using Self = C&;
  using Args = List<A...>;
  static constexpr bool reads_only = false;
};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...) const> : Sig<R (C::*)(A...)> {
  using Self = const C&;
  static constexpr bool reads_only = true;
};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...) noexcept> : Sig<R (C::*)(A...)> {};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...) const noexcept> : Sig<R (C::*)(A...) const> {};

// For a free function used as a method, the first parameter is the instance.
template <class Fn>
struct MethodSig : Sig<Fn> {};
template <class R, class S, class... A>
struct MethodSig<R (*)(S, A...)> {
  using Ret = R;
  using Self = S;
  using Args = List<A...>;
  static constexpr bool reads_only = std::is_const_v<std::remove_reference_t<S>>;
};
template <class R, class S, class... A>
struct MethodSig<R (*)(S, A...) noexcept> : MethodSig<R (*)(S, A...)> {};

template <class Fn>
struct FunctionSig;
template <class R, class... A>
struct FunctionSig<R (*)(A...)> {
  using Ret = R;
  using Args = List<A...>;
};
template <class R, class... A>
struct FunctionSig<R (*)(A...) noexcept> : FunctionSig<R (*)(A...)> {};

// The annotations of a callable: one per Python parameter, then the result's.
// Passed as a function, so registration computes them inside its try block.
using Annotations = std::vector<std::string> (*)();
template <class Ret, class... A>
std::vector<std::string> annotations_of(List<A...>) {
  return {py_type<A, Dir::in>()..., py_type<Ret, Dir::out>()};
}
template <class S>
std::vector<std::string> annotations() {
  return annotations_of<typename S::Ret>(typename S::Args{});
}

// What one binding of a callable needs, read only on slow paths: keyword
// arguments, omitted defaults, errors. Keyed by the bound function and the
// type it is bound on (null for module functions), so one function may serve
// several classes, each with its own names and error prefix.
struct CallInfo {
  PyTypeObject* type = nullptr;
  const Params* params = nullptr;
  const char* prefix = "";  // before the text of a qel::Error
  const CallInfo* next = nullptr;
};
template <auto F>
inline const CallInfo* bindings_of = nullptr;

// The binding of a function on `type` (null for module functions).
const CallInfo& find_binding(const CallInfo* bindings, PyTypeObject* type) noexcept;

template <class T>
using Stored = std::remove_cvref_t<T>;

// Calls `fn` and converts its result; any exception becomes the Python error,
// under the prefix of F's binding on `type`.
template <auto F, class Fn>
PyObject* call_and_convert(PyTypeObject* type, Fn&& fn) noexcept {
  try {
    using R = decltype(fn());
    if constexpr (std::is_void_v<R>) {
      fn();
      Py_RETURN_NONE;
    } else {
      return ToPy<std::remove_cvref_t<R>>::convert(fn());
    }
  } catch (...) {
    set_python_error(find_binding(bindings_of<F>, type).prefix);
    return nullptr;
  }
}

// Parses and converts the Python arguments of F's parameters A..., then calls
// body(converted...) with the converted values as lvalues. All arguments given
// by position, the common call, need no parameter names.
template <auto F, class... A, class Body>
PyObject* with_args(List<A...>, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Body&& body) noexcept {
  constexpr std::size_t n = sizeof...(A);
  PyObject* raw[n == 0 ? 1 : n];
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == n) {
    for (std::size_t i = 0; i < n; ++i) raw[i] = args[i];
  } else if (!find_binding(bindings_of<F>, type).params->parse(args, nargs, kwnames, raw)) {
    return nullptr;
  }
  std::tuple<Stored<A>...> values;
  bool ok = true;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((ok = ok && (raw[I] == nullptr || Arg<Stored<A>>::convert(raw[I], std::get<I>(values)) ||
                  (prefix_argument_error(find_binding(bindings_of<F>, type).params->name(I)), false))),
     ...);
  }(std::index_sequence_for<A...>{});
  if (!ok) return nullptr;
  return std::apply(body, values);
}

}  // namespace pyostrel::bind
