// Heap types that hold a native value in place, with a borrow flag.
//
//   Class<qel::wire::FrameHeader>("NetHeader", "doc")
//       .getter<&FrameHeader::seq>("get_seq")
//       .method<&decode>("decode", {"buf", "len"}, "NetHeader decode: ")
//       .build();
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <utility>
#include <string>
#include <vector>

#include "pyostrel/bind/call.h"

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

// Marks a native type as bound, so that returning it creates a Python object.
template <class T>
inline constexpr bool is_bound = false;

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
    type->tp_free(obj);
    Py_DECREF(type);
    set_python_error("");
    return nullptr;
  }
  return obj;
}

template <class T>
  requires is_bound<T>
struct ToPy<T> {
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
  return bound_type<T> ? bound_type<T>->tp_name + sizeof("pyostrel") : "?";
}

// Takes a shared borrow of `obj` if it is an instance of T's type.
template <class T>
Instance<T>* borrow_instance(PyObject* obj) noexcept {
  if (!bound_type<T> || !PyObject_TypeCheck(obj, bound_type<T>)) {
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

template <auto M>
struct MemberOf;
template <class C, class V, V C::*M>
struct MemberOf<M> {
  using Class = C;
  using Value = V;
};

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
template <class T, auto F, int Alias>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using S = MethodSig<decltype(F)>;
  const CallInfo& info = call_info<F, Alias>;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  Borrow<S::reads_only> borrow(inst->borrow);
  if (!borrow) return nullptr;
  return with_args(typename S::Args{}, *info.params, args, nargs, kwnames, [&](auto&... a) -> PyObject* {
    return call_and_convert(info.prefix,
                            [&]() -> decltype(auto) { return std::invoke(F, inst->value, std::move(a)...); });
  });
}

enum class Construct { by_default, none };

template <class T>
class Class {
 public:
  Class(const char* name, const char* doc, Construct construct = Construct::by_default)
      : name_(name), doc_(doc), construct_(construct) {}

  // Binds F (a member function of T, or a free function taking T& or const T&
  // first). `params` names the Python parameters; `prefix` goes before the text
  // of a qel::Error that F throws. Alias distinguishes two bindings of one F.
  template <auto F, int Alias = 0>
  Class& method(const char* name, std::initializer_list<const char*> params = {}, const char* prefix = "",
                const char* doc = "") {
    using S = MethodSig<decltype(F)>;
    auto* p = new Params(name_ + "." + name, params);  // lives as long as the type
    if (p->size() != S::Args::size) throw qel::InternalError("parameter names do not match " + p->qualname());
    if (call_info<F, Alias>.params && call_info<F, Alias>.params->qualname() != p->qualname()) {
      throw qel::InternalError("one binding registered under two names: " + p->qualname());
    }
    call_info<F, Alias> = CallInfo{p, prefix};
    methods_.push_back(PyMethodDef{
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<T, F, Alias>)),
        METH_FASTCALL | METH_KEYWORDS, keep(std::string(name) + p->signature(true) + "\n--\n\n" + doc)});
    return *this;
  }

  // get_<field>() and set_<field>(v) for a data member of T.
  template <auto M>
  Class& getter(const char* name) {
    return method<&get_member<M>>(name);
  }
  template <auto M>
  Class& setter(const char* name) {
    return method<&set_member<M>>(name, {"v"});
  }
  // get_<name>() and set_<name>(v).
  template <auto M>
  Class& accessors(const char* name) {
    getter<M>(keep(std::string("get_") + name));
    return setter<M>(keep(std::string("set_") + name));
  }

  // len(obj) -> F(value).
  template <auto F>
  Class& len() {
    len_ = &len_trampoline<F>;
    return *this;
  }

  // Creates the type object (once per process); null with an error set on failure.
  PyTypeObject* build() noexcept;

 private:
  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
  static PyObject* tp_new_refused(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
  static void tp_dealloc(PyObject* self) noexcept;

  std::string name_;
  const char* doc_;
  Construct construct_;
  std::vector<PyMethodDef> methods_;
  lenfunc len_ = nullptr;

  template <auto F>
  static Py_ssize_t len_trampoline(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    Borrow<true> borrow(inst->borrow);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(std::invoke(F, inst->value));
  }
};

// The type of T, defined by `define` (which returns Class<T>(...)...build())
// the first time it is asked for.
template <class T, class Define>
PyTypeObject* type_of(Define&& define) noexcept {
  if (bound_type<T>) return bound_type<T>;
  try {
    return define();
  } catch (...) {
    set_python_error("");
    return nullptr;
  }
}

template <class T>
PyObject* Class<T>::tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", type->tp_name + sizeof("pyostrel"));
    return nullptr;
  }
  return new_instance<T>(type);
}

template <class T>
PyObject* Class<T>::tp_new_refused(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name + sizeof("pyostrel"));
  return nullptr;
}

template <class T>
void Class<T>::tp_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Instance<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class T>
PyTypeObject* Class<T>::build() noexcept {
  if (bound_type<T>) return bound_type<T>;
  try {
    methods_.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    auto* defs = new std::vector<PyMethodDef>(std::move(methods_));  // lives as long as the type
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(construct_ == Construct::by_default ? &tp_new : &tp_new_refused)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
        {Py_tp_methods, defs->data()},
        {Py_tp_doc, const_cast<char*>(doc_)},
        {len_ ? Py_mp_length : 0, reinterpret_cast<void*>(len_)},
        {0, nullptr},
    };
    PyType_Spec type_spec{keep("pyostrel." + name_), static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT,
                     slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) {
      PyErr_Clear();
      set_internal_error("failed to create type object for " + name_);
      return nullptr;
    }
    bound_type<T> = reinterpret_cast<PyTypeObject*>(type);
    return bound_type<T>;
  } catch (...) {
    set_python_error("");
    return nullptr;
  }
}

}  // namespace pyostrel::bind
