// Heap types that hold a native value in place, with a borrow flag.
//
//   Class<qel::wire::FrameHeader>("NetHeader", "doc")
//       .getter<&FrameHeader::seq>("get_seq")
//       .method<&decode>("decode", {"buf", "len"}, "NetHeader decode: ")
//       .build();
//
// Only the trampolines are generated per bound function; the registration
// work lives in ClassBuilder, once.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <string>
#include <vector>

#include "pyostrel/bind/call.h"
#include "pyostrel/bind/registry.h"
#include "qel/msg/layout.h"

namespace pyostrel::bind {

template <class T>
struct Instance {
  PyObject_HEAD
  std::int32_t borrow;  // 0 free, >0 readers, -1 one writer
  T value;
};

// The type object of each bound native type, built once and kept for the
// process (a failed import that is retried reuses it).
template <class T>
inline PyTypeObject* bound_type = nullptr;

// For the one kind of class that takes part in garbage collection, its
// instances having a __dict__: untracks the instance, then drops its dict.
void release_instance_dict(PyObject* self) noexcept;

template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_IS_GC(type)) release_instance_dict(self);
  reinterpret_cast<Instance<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// Whether `obj` holds a T: every class built over T, and only those, frees its
// instances with dealloc_instance<T> (several classes may share one layout).
template <class T>
bool holds(PyObject* obj) noexcept {
  return Py_TYPE(obj)->tp_dealloc == &dealloc_instance<T>;
}

// Shared (reads_only) or exclusive use of an instance for one call.
template <bool Shared>
class Borrow {
 public:
  explicit Borrow(std::int32_t& flag) noexcept {
    if constexpr (Shared) {
      if (flag < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag;
    } else {
      if (flag != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag = -1;
    }
    flag_ = &flag;
  }
  ~Borrow() {
    if (!flag_) return;
    if constexpr (Shared) {
      --*flag_;
    } else {
      *flag_ = 0;
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  std::int32_t* flag_ = nullptr;
};

// Allocates an instance of `type` and constructs its value from `args`.
template <class T, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) noexcept {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* inst = reinterpret_cast<Instance<T>*>(obj);
  inst->borrow = 0;
  try {
    new (&inst->value) T(std::forward<A>(args)...);
  } catch (...) {
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(obj);
    type->tp_free(obj);
    Py_DECREF(type);
    set_python_error("");
    return nullptr;
  }
  return obj;
}

// A record nested in another's state converts as a tuple (bind/state.h); any other class type without a
// conversion of its own is a bound record, held by the instances of the class defined over it.
template <class R>
struct RecordState;
template <class T>
concept BoundRecord = std::is_class_v<T> && !requires { typename RecordState<T>::Record; };

// No class is defined over a shared pointer: one that reaches the generic conversions lacks the include of its
// own conversion.
template <class T>
inline constexpr bool is_shared_ptr = false;
template <class T>
inline constexpr bool is_shared_ptr<std::shared_ptr<T>> = true;

// A class type without a conversion of its own is held by the instances of the class defined over it: a result
// becomes a new instance.
template <class T>
struct ToPy {
  static_assert(std::is_class_v<T> && !is_shared_ptr<T>, "no conversion of this type is visible here");
  static PyObject* convert(T value) noexcept {
    if (!bound_type<T>) {
      set_internal_error("type object used before it was created");
      return nullptr;
    }
    return new_instance<T>(bound_type<T>, std::move(value));
  }
};

// Short Python name of a bound type, for conversion errors.
template <class T>
const char* bound_name() noexcept {
  const char* name = class_name_of(typeid(T));
  return name ? name : "?";
}

// Takes a shared borrow of `obj` if it is an instance of T's type.
template <class T>
Instance<T>* borrow_instance(PyObject* obj) noexcept {
  if (!holds<T>(obj)) {
    wrong_type(obj, bound_name<T>());
    return nullptr;
  }
  auto* inst = reinterpret_cast<Instance<T>*>(obj);
  if (inst->borrow < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  ++inst->borrow;
  return inst;
}

// An instance argument, read under a shared borrow for the whole call.
template <class T>
class Shared {
 public:
  Shared() noexcept = default;
  Shared(Shared&& o) noexcept : inst_(std::exchange(o.inst_, nullptr)) {}
  Shared& operator=(Shared&& o) noexcept {
    release();
    inst_ = std::exchange(o.inst_, nullptr);
    return *this;
  }
  ~Shared() { release(); }

  bool acquire(PyObject* obj) noexcept { return (inst_ = borrow_instance<T>(obj)) != nullptr; }
  const T& operator*() const noexcept { return inst_->value; }
  const T* operator->() const noexcept { return &inst_->value; }

 private:
  void release() noexcept {
    if (inst_) --inst_->borrow;
    inst_ = nullptr;
  }
  Instance<T>* inst_ = nullptr;
};

template <class T>
struct Arg<Shared<T>> {
  static bool convert(PyObject* obj, Shared<T>& out) noexcept { return out.acquire(obj); }
};

// An instance argument is annotated with its class's name.
template <class T, Dir D>
struct PyType<Shared<T>, D> {
  static std::string text() { return class_annotation<T>(); }
};

// A bound record taken by value: a copy of the instance's record, so nothing
// the caller keeps can reach into it afterwards.
template <class T>
struct Arg {
  static_assert(std::is_class_v<T> && !is_shared_ptr<T>, "no conversion of this type is visible here");
  static bool convert(PyObject* obj, T& out) noexcept {
    Shared<T> in;
    if (!in.acquire(obj)) return false;
    try {
      out = *in;
      return true;
    } catch (...) {
      set_python_error("");
      return false;
    }
  }
};

// An optional record field: None makes it absent again, anything else converts as a T.
template <class T>
bool convert_optional(PyObject* obj, std::optional<T>& out) noexcept {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  T value;
  if (!Arg<T>::convert(obj, value)) return false;
  out = std::move(value);
  return true;
}
template <BoundRecord T>
struct Arg<std::optional<T>> {
  static bool convert(PyObject* obj, std::optional<T>& out) noexcept { return convert_optional(obj, out); }
};

template <BoundRecord T>
struct PyType<std::optional<T>, Dir::in> {
  static std::string text() { return class_annotation<T>() + " | None"; }
};

// A sequence of instances, each read under a shared borrow for the whole call;
// refs() hands the native values to the core without copying them.
template <class T>
class SharedList {
 public:
  SharedList() noexcept = default;
  SharedList(SharedList&&) noexcept = default;
  SharedList& operator=(SharedList&& o) noexcept {
    release();
    owner_ = std::move(o.owner_);
    insts_ = std::move(o.insts_);
    values_ = std::move(o.values_);
    return *this;
  }
  ~SharedList() { release(); }

  bool acquire(PyObject* obj) noexcept {
    if (!as_fast_sequence(obj, owner_)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(owner_.get());
    PyObject** items = PySequence_Fast_ITEMS(owner_.get());
    try {
      insts_.reserve(static_cast<std::size_t>(n));
      values_.reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {  // runs no Python code
      Instance<T>* inst = borrow_instance<T>(items[i]);
      if (!inst) return false;
      insts_.push_back(inst);
      values_.push_back(&inst->value);
    }
    return true;
  }
  std::span<const T* const> refs() const noexcept { return values_; }

 private:
  void release() noexcept {
    for (Instance<T>* inst : insts_) --inst->borrow;
    insts_.clear();
  }
  Ref owner_;
  std::vector<Instance<T>*> insts_;
  std::vector<const T*> values_;
};

template <class T>
struct Arg<SharedList<T>> {
  static bool convert(PyObject* obj, SharedList<T>& out) noexcept { return out.acquire(obj); }
};
template <class T, Dir D>
struct PyType<SharedList<T>, D> {
  static std::string text() { return "Sequence[" + class_annotation<T>() + "]"; }
};

using qel::msg::MemberOf;

template <auto M>
const typename MemberOf<M>::Value& get_member(const typename MemberOf<M>::Class& self) noexcept {
  return self.*M;
}
template <auto M>
void set_member(typename MemberOf<M>::Class& self, typename MemberOf<M>::Value v) {
  self.*M = std::move(v);
}

// The borrow is taken before the arguments are converted: a conversion that
// runs Python code (an __index__) and touches this instance sees it in use.
template <class T, auto F>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = MethodSig<decltype(F)>;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  Borrow<S::reads_only> borrow(inst->borrow);
  if (!borrow) return nullptr;
  return with_args<F>(typename S::Args{}, Py_TYPE(self), args, nargs, kwnames, [&](auto&... a) -> PyObject* {
    return call_and_convert<F>(Py_TYPE(self),
                               [&]() -> decltype(auto) { return std::invoke(F, inst->value, std::move(a)...); });
  });
}

// Methods without parameters: the interpreter checks that none were given.
template <class T, auto F>
PyObject* noargs_trampoline(PyObject* self, PyObject*) noexcept {
  using S = MethodSig<decltype(F)>;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  Borrow<S::reads_only> borrow(inst->borrow);
  if (!borrow) return nullptr;
  return call_and_convert<F>(Py_TYPE(self), [&]() -> decltype(auto) { return std::invoke(F, inst->value); });
}

template <auto Get>
PyObject* property_get(PyObject* self, void*) noexcept {
  using T = std::remove_cvref_t<typename MethodSig<decltype(Get)>::Self>;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  Borrow<true> borrow(inst->borrow);
  if (!borrow) return nullptr;
  return call_and_convert<Get>(Py_TYPE(self), [&]() -> decltype(auto) { return std::invoke(Get, inst->value); });
}

int refuse_delete() noexcept;

// Names item i of a state being rebuilt in a pending TypeError:
// "argument 'state[i]': ...", as prefix_argument_error does.
void state_item_error(std::size_t i) noexcept;

template <auto Set>
int property_set(PyObject* self, PyObject* value, void*) noexcept {
  using S = MethodSig<decltype(Set)>;
  using T = std::remove_cvref_t<typename S::Self>;
  if (!value) return refuse_delete();
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  Borrow<false> borrow(inst->borrow);
  if (!borrow) return -1;
  PyObject* done = with_args<Set>(typename S::Args{}, Py_TYPE(self), &value, 1, nullptr, [&](auto&... a) {
    return call_and_convert<Set>(Py_TYPE(self), [&] { std::invoke(Set, inst->value, std::move(a)...); });
  });
  if (!done) return -1;
  Py_DECREF(done);
  return 0;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
// TypeError unless the call has no arguments.
bool no_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

template <class T>
PyObject* construct_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return no_arguments(type, args, kwargs) ? new_instance<T>(type) : nullptr;
}

// The registration work of a class that does not depend on its native type.
class ClassBuilder {
 public:
  ClassBuilder(const ClassBuilder&) = delete;
  ClassBuilder& operator=(const ClassBuilder&) = delete;

 protected:
  ClassBuilder(const char* name, const char* doc, std::size_t basicsize, newfunc construct, destructor dealloc);

  // `bindings` is the bound function's list of CallInfo; the new one joins it
  // once the type exists.
  void add_method(const char* name, PyCFunction trampoline, int flags, const CallInfo*& bindings,
                  std::size_t arity, std::initializer_list<const char*> params, const char* prefix,
                  const char* doc, Annotations types);
  // The doc opens with "name: type", and ", read-only" without a setter.
  void add_property(const char* name, getter get, setter set, const CallInfo*& get_bindings,
                    const CallInfo** set_bindings, const char* doc, Annotations type);
  void add_slot(int slot, void* fn) { slots_.push_back(PyType_Slot{slot, fn}); }
  // tp_new raises "No constructor defined for <name>".
  void forbid_construction();
  // A method written against the C API itself; `doc` lives as long as the type.
  void add_raw_method(const char* name, PyCFunction fn, int flags, const char* doc) {
    methods_.push_back(PyMethodDef{name, fn, flags, doc});
  }
  // Instances get a __dict__ (its pointer placed after the native value) and
  // so take part in garbage collection.
  void add_instance_dict();
  // Creates the type object once: a later call returns `cache`. Null with an
  // error set on failure.
  PyTypeObject* build(PyTypeObject*& cache) noexcept;

  static std::string prefixed(const char* prefix, const char* name) { return std::string(prefix) + name; }

 private:
  std::string name_;
  const char* doc_;
  std::size_t basicsize_;
  unsigned long flags_ = Py_TPFLAGS_DEFAULT;
  std::vector<PyMethodDef> methods_;
  std::vector<PyGetSetDef> properties_;
  Py_ssize_t dict_offset_ = 0;  // 0: no instance __dict__
  std::vector<PyType_Slot> slots_;
  struct Pending {
    const CallInfo** bindings;
    CallInfo* info;
  };
  std::vector<Pending> pending_;
};

template <class T>
class Class : public ClassBuilder {
 public:
  using Native = T;

  Class(const char* name, const char* doc)
      : ClassBuilder(name, doc, sizeof(Instance<T>), &construct_instance<T>, &dealloc_instance<T>) {}

  // Instances come only from the module's functions and methods.
  Class& no_constructor() {
    forbid_construction();
    return *this;
  }

  // Binds F (a member function of T, or a free function taking T& or const T&
  // first). `params` names the Python parameters; `prefix` goes before the text
  // of a qel::Error that F throws.
  template <auto F>
  Class& method(const char* name, std::initializer_list<const char*> params = {}, const char* prefix = "",
                const char* doc = "") {
    using S = MethodSig<decltype(F)>;
    if constexpr (S::Args::size == 0) {
      add_method(name, &noargs_trampoline<T, F>, METH_NOARGS, bindings_of<F>, 0, params, prefix, doc,
                 &annotations<S>);
    } else {
      add_method(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<T, F>)),
                 METH_FASTCALL | METH_KEYWORDS, bindings_of<F>, S::Args::size, params, prefix, doc, &annotations<S>);
    }
    return *this;
  }

  // get_<field>() and set_<field>(v) for a data member of T.
  template <auto M>
  Class& getter(const char* name, const char* doc = "") {
    return method<&get_member<M>>(name, {}, "", doc);
  }
  template <auto M>
  Class& setter(const char* name, const char* doc = "") {
    return method<&set_member<M>>(name, {"v"}, "", doc);
  }
  // `what` names the field for both docstrings: "Returns <what>." and "Sets <what>."
  template <auto M>
  Class& accessors(const char* name, const std::string& what = "") {
    getter<M>(keep(prefixed("get_", name)), what.empty() ? "" : keep("Returns " + what + "."));
    return setter<M>(keep(prefixed("set_", name)), what.empty() ? "" : keep("Sets " + what + "."));
  }

  // A property read by Get(const T&) and, unless Set is null, written by
  // Set(T&, v); `del` raises AttributeError.
  template <auto Get, auto Set = nullptr>
  Class& property(const char* name, const char* doc = "") {
    if constexpr (std::is_null_pointer_v<decltype(Set)>) {
      add_property(name, &property_get<Get>, nullptr, bindings_of<Get>, nullptr, doc,
                   &annotations<MethodSig<decltype(Get)>>);
    } else {
      add_property(name, &property_get<Get>, &property_set<Set>, bindings_of<Get>, &bindings_of<Set>, doc,
                   &annotations<MethodSig<decltype(Get)>>);
    }
    return *this;
  }

  // len(obj) -> F(value).
  template <auto F>
  Class& len() {
    add_slot(Py_mp_length, reinterpret_cast<void*>(&len_trampoline<F>));
    return *this;
  }

  // hash(obj) -> F(value), a std::size_t; F must agree with T's ==.
  template <auto F>
  Class& hash() {
    add_slot(Py_tp_hash, reinterpret_cast<void*>(&hash_trampoline<F>));
    return *this;
  }

  // ==, !=, <, <=, >, >= between two instances by T's <=> (a total order);
  // NotImplemented against any other type.
  Class& ordered() {
    add_slot(Py_tp_richcompare, reinterpret_cast<void*>(&compare_trampoline));
    return *this;
  }

  // repr(obj) -> F(value), which returns the str object as a Ref.
  template <auto F>
  Class& repr() {
    add_slot(Py_tp_repr, reinterpret_cast<void*>(&repr_trampoline<F>));
    return *this;
  }

  // Any other slot, with a function written for it.
  Class& slot(int id, void* fn) {
    add_slot(id, fn);
    return *this;
  }

  // Instances accept arbitrary attributes, kept in their own __dict__.
  Class& instance_dict() {
    add_instance_dict();
    return *this;
  }

  // pickle, copy.copy and copy.deepcopy through a tuple of plain values:
  // __reduce__ returns (type._from_state, State(value)), and
  // type._from_state(*state) converts each item as FromState's parameter of
  // that place converts an argument, so a tampered state raises as a bad
  // argument would, then builds the instance from FromState's result.
  template <auto State, auto FromState>
  Class& picklable() {
    add_raw_method("__reduce__", &reduce_trampoline<State>, METH_NOARGS,
                   "__reduce__($self, /)\n--\n\nThe reconstructor and the state of plain values, for pickle and "
                   "copy.");
    add_raw_method("_from_state",
                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_state_trampoline<FromState>)),
                   METH_FASTCALL | METH_CLASS,
                   "_from_state($type, /, *state)\n--\n\nAn instance rebuilt from the state __reduce__ gives.");
    return *this;
  }
  // The same through a member list: bind::Fields in bind/state.h.
  template <class F>
  Class& picklable() {
    return picklable<&F::state, &F::from_state>();
  }

  PyTypeObject* build() noexcept { return ClassBuilder::build(bound_type<T>); }
  // For a second class over the same native type, with a cache of its own.
  PyTypeObject* build(PyTypeObject*& cache) noexcept { return ClassBuilder::build(cache); }

 private:
  template <auto F>
  static Py_ssize_t len_trampoline(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    Borrow<true> borrow(inst->borrow);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(std::invoke(F, inst->value));
  }

  template <auto State>
  static PyObject* reduce_trampoline(PyObject* self, PyObject*) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    Ref state;
    {
      Borrow<true> borrow(inst->borrow);
      if (!borrow) return nullptr;
      state = Ref(call_and_convert<State>(Py_TYPE(self),
                                          [&]() -> decltype(auto) { return std::invoke(State, inst->value); }));
    }
    if (!state) return nullptr;
    if (!PyTuple_Check(state.get())) {
      set_internal_error("the state of a picklable class is not a tuple");
      return nullptr;
    }
    // One bound method per class, kept for the process as the class is: pickle
    // writes it once per stream and refers back to it for every later record.
    // (A second class over T with the same State gets a method of its own.)
    static PyObject* rebuild = nullptr;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (rebuild && PyCFunction_GET_SELF(rebuild) == type) return PyTuple_Pack(2, rebuild, state.get());
    Ref method(PyObject_GetAttrString(type, "_from_state"));
    if (!method) return nullptr;
    if (!rebuild) rebuild = Ref::borrow(method.get()).release();
    return PyTuple_Pack(2, method.get(), state.get());
  }

  // METH_CLASS: `type` is the class itself, whose instances hold a T.
  template <auto FromState>
  static PyObject* from_state_trampoline(PyObject* type, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return from_state_items<FromState>(typename FunctionSig<decltype(FromState)>::Args{},
                                       reinterpret_cast<PyTypeObject*>(type), args, nargs);
  }
  template <auto FromState, class... A>
  static PyObject* from_state_items(List<A...>, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs) noexcept {
    constexpr std::size_t n = sizeof...(A);
    if (static_cast<std::size_t>(nargs) != n) {
      PyErr_Format(PyExc_TypeError, "%s state holds %zd items, expected %zu", type->tp_name + sizeof("pyostrel"),
                   nargs, n);
      return nullptr;
    }
    std::tuple<Stored<A>...> values;
    bool ok = true;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((ok = ok && (Arg<Stored<A>>::convert(args[I], std::get<I>(values)) || (state_item_error(I), false))), ...);
    }(std::index_sequence_for<A...>{});
    if (!ok) return nullptr;
    try {
      return new_instance<T>(type, std::apply(FromState, std::move(values)));
    } catch (...) {
      set_python_error("");
      return nullptr;
    }
  }

  template <auto F>
  static Py_hash_t hash_trampoline(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    Borrow<true> borrow(inst->borrow);
    if (!borrow) return -1;
    const auto h = static_cast<Py_hash_t>(std::invoke(F, inst->value));
    return h == -1 ? -2 : h;  // -1 reports an error
  }

  static PyObject* compare_trampoline(PyObject* a, PyObject* b, int op) noexcept {
    if (!holds<T>(a) || !holds<T>(b)) Py_RETURN_NOTIMPLEMENTED;
    auto* x = reinterpret_cast<Instance<T>*>(a);
    auto* y = reinterpret_cast<Instance<T>*>(b);
    Borrow<true> bx(x->borrow);
    if (!bx) return nullptr;
    Borrow<true> by(y->borrow);
    if (!by) return nullptr;
    const auto c = x->value <=> y->value;
    bool r = false;
    switch (op) {
      case Py_LT: r = c < 0; break;
      case Py_LE: r = c <= 0; break;
      case Py_EQ: r = c == 0; break;
      case Py_NE: r = c != 0; break;
      case Py_GT: r = c > 0; break;
      case Py_GE: r = c >= 0; break;
      default: Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(r);
  }

  template <auto F>
  static PyObject* repr_trampoline(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    Borrow<true> borrow(inst->borrow);
    if (!borrow) return nullptr;
    return call_and_convert<F>(Py_TYPE(self), [&]() -> decltype(auto) { return std::invoke(F, inst->value); });
  }
};

struct NoMethods {
  void operator()(auto&) const noexcept {}
};

template <class B, class Finish, bool Converts>
PyTypeObject* make_class(const char* name, const char* doc) noexcept {
  try {
    B cls(name, doc);
    Finish{}(cls);
    if constexpr (Converts) return cls.build();
    PyTypeObject* own = nullptr;
    return cls.build(own);
  } catch (...) {
    set_python_error("");
    return nullptr;
  }
}

// The builder a finishing lambda takes, when the definition does not name it.
template <class B, class Finish>
struct BuilderFor {
  using type = B;
};
template <class Call>
struct ParameterOf;
template <class L, class R, class B>
struct ParameterOf<R (L::*)(B&) const> {
  using type = B;
};
template <class Finish>
struct BuilderFor<void, Finish> : ParameterOf<decltype(&Finish::operator())> {};

// Defines the class `name` over the builder's native type: register_all makes the builder B(name, doc), `finish`
// adds what sets the class apart, and the type is built. B is Class<T> or Message<T>, named or taken from the
// parameter of `finish`, a lambda without captures. The class's instances are what conversions of T make. True,
// for a namespace-scope initialiser.
//
//   bind::define("ATUnsubscribeReq", "Ends a subscription.", [](Message<ATUnsubscribeReq>& c) { c.encode(); })
template <class B = void, class Finish = NoMethods>
bool define(const char* name, const char* doc, Finish = {}) noexcept {
  static_assert(std::is_default_constructible_v<Finish>, "finish captures nothing: it runs when the module loads");
  using Builder = typename BuilderFor<B, Finish>::type;
  return define_class(name, doc, &make_class<Builder, Finish, true>, &typeid(typename Builder::Native));
}
// A further class over a native type that already has one: a type of its own, which no conversion makes.
template <class B = void, class Finish = NoMethods>
bool define_another(const char* name, const char* doc, Finish = {}) noexcept {
  static_assert(std::is_default_constructible_v<Finish>, "finish captures nothing: it runs when the module loads");
  return define_class(name, doc, &make_class<typename BuilderFor<B, Finish>::type, Finish, false>, nullptr);
}

}  // namespace pyostrel::bind
