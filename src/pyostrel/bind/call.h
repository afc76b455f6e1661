// Trampolines generated from native signatures: parse and convert arguments,
// call, convert the result, translate exceptions.
#pragma once

#include <cstdint>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

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
  using Args = List<A...>;
  static constexpr bool reads_only = false;
};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...) const> : Sig<R (C::*)(A...)> {
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

// What one registered callable needs at call time. Kept per (callable, alias)
// because the trampoline is a plain function pointer.
struct CallInfo {
  const Params* params = nullptr;
  const char* prefix = "";  // before the text of a qel::Error
};
template <auto F, int Alias>
inline CallInfo call_info;

template <class T>
using Stored = std::remove_cvref_t<T>;

// Calls `fn` and converts its result; any exception becomes the Python error.
template <class Fn>
PyObject* call_and_convert(const char* prefix, Fn&& fn) noexcept {
  try {
    using R = decltype(fn());
    if constexpr (std::is_void_v<R>) {
      fn();
      Py_RETURN_NONE;
    } else {
      return ToPy<std::remove_cvref_t<R>>::convert(fn());
    }
  } catch (...) {
    set_python_error(prefix);
    return nullptr;
  }
}

// Parses and converts the Python arguments for parameters A..., then calls
// body(converted...) with the converted values as lvalues.
template <class... A, class Body>
PyObject* with_args(List<A...>, const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Body&& body) noexcept {
  constexpr std::size_t n = sizeof...(A);
  PyObject* raw[n == 0 ? 1 : n];
  if ((nargs != 0 || kwnames != nullptr || n != 0) && !params.parse(args, nargs, kwnames, raw)) return nullptr;
  std::tuple<Stored<A>...> values;
  bool ok = true;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((ok = ok && (raw[I] == nullptr || Arg<Stored<A>>::convert(raw[I], std::get<I>(values)) ||
                  (prefix_argument_error(params.name(I)), false))),
     ...);
  }(std::index_sequence_for<A...>{});
  if (!ok) return nullptr;
  return std::apply(body, values);
}

}  // namespace pyostrel::bind
