// A call step that runs a native function without the interpreter lock. The arguments are converted before the
// release and the result after the lock is taken back, so no Python object is touched while it is released.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyostrel/bind/function.h"

namespace pyostrel::bind {

// Held for the duration of the native call: releases the lock on construction and takes it back on
// destruction, also while an exception unwinds (the error is then set with the lock held).
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Takes the lock back to run the interpreter's signal handlers (a no-op off the main thread); throws
  // PythonErrorSet, the handler's exception pending, when one raised.
  void check_signals() const {
    PyEval_RestoreThread(state_);
    const int rc = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (rc != 0) throw PythonErrorSet{};
  }
  // check_signals as a callable for the waits of native code.
  std::function<void()> waiter() const {
    return [this] { check_signals(); };
  }

 private:
  mutable PyThreadState* state_;
};

// A Python object handle, or a value holding one: touching it without the lock is a data race with the
// interpreter. A borrowed native value (Shared) is not one: its borrow keeps its value still, and it is read only.
template <class T>
struct IsPythonHandle : std::false_type {};
template <>
struct IsPythonHandle<PyObject*> : std::true_type {};
template <>
struct IsPythonHandle<PyTypeObject*> : std::true_type {};
template <>
struct IsPythonHandle<Ref> : std::true_type {};
template <class T>
struct IsPythonHandle<std::vector<T>> : IsPythonHandle<T> {};
template <class T>
struct IsPythonHandle<std::optional<T>> : IsPythonHandle<T> {};
template <class A, class B>
struct IsPythonHandle<std::pair<A, B>> : std::disjunction<IsPythonHandle<A>, IsPythonHandle<B>> {};
template <class... T>
struct IsPythonHandle<std::tuple<T...>> : std::disjunction<IsPythonHandle<T>...> {};
template <class T>
inline constexpr bool kPythonHandle = IsPythonHandle<std::remove_cvref_t<T>>::value;

// A function whose first parameter is `const Unlocked&`: the rest come from Python. None of them, nor the result,
// may be a Python object handle: they live while the lock is released.
template <class Fn>
struct UnlockedSig;
template <class R, class... A>
struct UnlockedSig<R (*)(const Unlocked&, A...)> {
  using Ret = R;
  using Args = List<A...>;
  static constexpr bool kSafe = !kPythonHandle<R> && !(kPythonHandle<A> || ...);
};

static_assert(UnlockedSig<int (*)(const Unlocked&, const std::vector<int>&)>::kSafe);
static_assert(!UnlockedSig<PyObject* (*)(const Unlocked&, int)>::kSafe);
static_assert(!UnlockedSig<int (*)(const Unlocked&, const Ref&)>::kSafe);
static_assert(!UnlockedSig<int (*)(const Unlocked&, std::vector<std::pair<int, Ref>>)>::kSafe);

template <auto F>
PyObject* unlocked_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = UnlockedSig<decltype(F)>;
  static_assert(S::kSafe, "a Python object handle cannot cross into a step run without the interpreter lock");
  return with_args<F>(typename S::Args{}, nullptr, args, nargs, kwnames, [&](auto&... a) -> PyObject* {
    return call_and_convert<F>(nullptr, [&]() -> typename S::Ret {
      const Unlocked unlocked;
      return F(unlocked, std::move(a)...);
    });
  });
}

// As add_function, for a function of UnlockedSig.
template <auto F>
bool add_unlocked_function(PyObject* module, const char* name, std::initializer_list<const char*> params,
                           const char* prefix = "", const char* doc = "") noexcept {
  using S = UnlockedSig<decltype(F)>;
  return add_function_binding(module, name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&unlocked_trampoline<F>)),
                              bindings_of<F>, S::Args::size, params, prefix, doc, &annotations<S>);
}

}  // namespace pyostrel::bind
