// The registration work of heap types, shared by every bound class.
#include "pyostrel/bind/class.h"

#include <cstring>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // T_PYSSIZET and READONLY; Python.h has them under Py_ names from 3.12 on
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace pyostrel::bind {
namespace {

PyObject*& instance_dict(PyObject* self) noexcept {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Py_TYPE(self)->tp_dictoffset);
}

int traverse_instance_dict(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));  // a heap type's instances hold a reference to it
  Py_VISIT(instance_dict(self));
  return 0;
}

int clear_instance_dict(PyObject* self) noexcept {
  Py_CLEAR(instance_dict(self));
  return 0;
}

}  // namespace

void release_instance_dict(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(instance_dict(self));
}

int refuse_delete() noexcept {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

void state_item_error(std::size_t i) noexcept {
  char name[32];
  PyOS_snprintf(name, sizeof name, "state[%zu]", i);
  prefix_argument_error(name);
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name + sizeof("pyostrel"));
  return nullptr;
}

bool no_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0)) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes no arguments", type->tp_name + sizeof("pyostrel"));
  return false;
}

ClassBuilder::ClassBuilder(const char* name, const char* doc, std::size_t basicsize, newfunc construct,
                           destructor dealloc)
    // "Name()" is the text signature inspect.signature(cls) reads: no class takes constructor arguments. A class
    // without a constructor reads "()" as well, as CPython's own such types (frames, iterators) do.
    : name_(name), doc_(keep(name_ + "()\n--\n\n" + doc)), basicsize_(basicsize) {
  add_slot(Py_tp_new, reinterpret_cast<void*>(construct));
  add_slot(Py_tp_dealloc, reinterpret_cast<void*>(dealloc));
  add_slot(Py_tp_doc, const_cast<char*>(doc_));
}

void ClassBuilder::forbid_construction() {
  for (PyType_Slot& slot : slots_) {
    if (slot.slot == Py_tp_new) slot.pfunc = reinterpret_cast<void*>(&bind::refuse_construction);
  }
}

void ClassBuilder::add_instance_dict() {
  // The dict pointer goes after the native value: set by __dictoffset__, which
  // PyType_FromSpec reads from the member table from 3.9 on.
  const std::size_t offset = (basicsize_ + alignof(PyObject*) - 1) / alignof(PyObject*) * alignof(PyObject*);
  basicsize_ = offset + sizeof(PyObject*);
  dict_offset_ = static_cast<Py_ssize_t>(offset);
  properties_.push_back(PyGetSetDef{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr});
  // The dict may hold anything, this instance included: the collector must see it.
  flags_ |= Py_TPFLAGS_HAVE_GC;
  add_slot(Py_tp_traverse, reinterpret_cast<void*>(&traverse_instance_dict));
  add_slot(Py_tp_clear, reinterpret_cast<void*>(&clear_instance_dict));
}

void ClassBuilder::add_method(const char* name, PyCFunction trampoline, int flags, const CallInfo*& bindings,
                              std::size_t arity, std::initializer_list<const char*> params, const char* prefix,
                              const char* doc, Annotations types) {
  auto* p = new Params(name_ + "." + name, params);  // lives as long as the type
  if (p->size() != arity) throw qel::InternalError("parameter names do not match " + p->qualname());
  pending_.push_back({&bindings, new CallInfo{nullptr, p, prefix, nullptr}});
  methods_.push_back(PyMethodDef{name, trampoline, flags, keep(callable_doc(name, *p, true, types(), doc))});
}

void ClassBuilder::add_property(const char* name, getter get, setter set, const CallInfo*& get_bindings,
                                const CallInfo** set_bindings, const char* doc, Annotations type) {
  auto* p = new Params(name_ + "." + name, {"v"});
  pending_.push_back({&get_bindings, new CallInfo{nullptr, p, "", nullptr}});
  if (set_bindings) pending_.push_back({set_bindings, new CallInfo{nullptr, p, "", nullptr}});
  std::string text = std::string(name) + ": " + type().back() + (set ? "" : ", read-only");
  if (*doc) text += std::string("\n\n") + doc;
  properties_.push_back(PyGetSetDef{name, get, set, keep(std::move(text)), nullptr});
}

PyTypeObject* ClassBuilder::build(PyTypeObject*& cache) noexcept {
  if (cache) return cache;
  try {
    // Kept for the life of the type, which the process never frees.
    auto* methods = new std::vector<PyMethodDef>(methods_);
    methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    std::vector<PyType_Slot> slots = slots_;
    slots.push_back({Py_tp_methods, methods->data()});
    if (!properties_.empty()) {
      auto* properties = new std::vector<PyGetSetDef>(properties_);
      properties->push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
      slots.push_back({Py_tp_getset, properties->data()});
    }
    if (dict_offset_ != 0) {
      auto* members = new PyMemberDef[2]{{"__dictoffset__", Py_T_PYSSIZET, dict_offset_, Py_READONLY, nullptr},
                                         {nullptr, 0, 0, 0, nullptr}};
      slots.push_back({Py_tp_members, members});
    }
    slots.push_back({0, nullptr});
    PyType_Spec type_layout{keep("pyostrel." + name_), static_cast<int>(basicsize_), 0, static_cast<unsigned int>(flags_),
                      slots.data()};
    PyObject* type = PyType_FromSpec(&type_layout);
    if (!type) {
      PyErr_Clear();
      set_internal_error("failed to create type object for " + name_);
      return nullptr;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(type);
#if PY_VERSION_HEX < 0x030A0000
    // 3.9 keeps the docstring without its signature, so __text_signature__
    // would be None: give the type the whole text, in memory it may free.
    if (char* whole = static_cast<char*>(PyObject_Malloc(std::strlen(doc_) + 1))) {
      PyObject_Free(const_cast<char*>(t->tp_doc));
      t->tp_doc = std::strcpy(whole, doc_);
    }
#endif
    for (const Pending& p : pending_) {
      // One function bound twice on a class (two names of one operation)
      // shares the first binding's call data.
      if (&find_binding(*p.bindings, t) != &find_binding(nullptr, t)) {
        if (p.info->params->size() != 0) throw qel::InternalError("one function bound under two names on " + name_);
        continue;
      }
      p.info->type = t;
      p.info->next = *p.bindings;
      *p.bindings = p.info;
    }
    cache = t;
    return t;
  } catch (...) {
    set_python_error("");
    return nullptr;
  }
}

}  // namespace pyostrel::bind
