// A call step that runs a native function without the interpreter lock. The arguments are converted before the
// release and the result after the lock is taken back, so no Python object is touched while it is released.
#pragma once

#include <functional>
#include <initializer_list>

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

// A function whose first parameter is `const Unlocked&`: the rest come from Python.
template <class Fn>
struct UnlockedSig;
template <class R, class... A>
struct UnlockedSig<R (*)(const Unlocked&, A...)> {
  using Ret = R;
  using Args = List<A...>;
};

template <auto F>
PyObject* unlocked_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = UnlockedSig<decltype(F)>;
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
