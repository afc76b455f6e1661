// The list a pool read returns. A subclass of list rather than a class of its own, so that code written for
// a list of rows keeps working, and pickled as a plain list, so that a process that never imported this
// module (a cluster's client) can load it.
#include "pyostrel/py_row_list.h"

#include <new>
#include <utility>

#include "pyostrel/bind/args.h"
#include "pyostrel/bind/class.h"
#include "pyostrel/py_arrow.h"

namespace pyostrel {
namespace {

using qel::rows::StructValue;

struct RowListObject {
  PyListObject list;
  qel::rows::CatalogSnapshot catalog;
};

PyTypeObject* g_row_list = nullptr;

RowListObject* as_row_list(PyObject* self) noexcept { return reinterpret_cast<RowListObject*>(self); }

PyObject* row_list_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) new (&as_row_list(self)->catalog) qel::rows::CatalogSnapshot();
  return self;
}

// The list's own deallocation frees the items and the instance; a heap type's reference goes last.
void row_list_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_row_list(self)->catalog.~shared_ptr();
  PyList_Type.tp_dealloc(self);
  Py_DECREF(type);
}

// The rows as they are now (each item must still be a StructValue), borrowed for the export.
PyObject* row_list_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const bind::Params params("__arrow_c_stream__", {"requested_schema=None"});
  PyObject* requested = nullptr;
  if (!params.parse(args, nargs, kwnames, &requested)) return nullptr;
  try {
    const Py_ssize_t n = PyList_GET_SIZE(self);
    std::vector<bind::Shared<StructValue>> borrows(static_cast<std::size_t>(n));
    std::vector<const StructValue*> refs(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto& b = borrows[static_cast<std::size_t>(i)];
      if (!b.acquire(PyList_GET_ITEM(self, i))) return nullptr;
      refs[static_cast<std::size_t>(i)] = &*b;
    }
    return arrow_capsule(as_row_list(self)->catalog, refs).release();
  } catch (...) {
    bind::set_python_error("__arrow_c_stream__: ");
    return nullptr;
  }
}

PyObject* row_list_reduce(PyObject* self, PyObject*) noexcept {
  bind::Ref items(PyList_GetSlice(self, 0, PyList_GET_SIZE(self)));
  if (!items) return nullptr;
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyList_Type), items.get());
}

PyObject* row_list_copy(PyObject* self, PyObject*) noexcept { return PyList_GetSlice(self, 0, PyList_GET_SIZE(self)); }

PyMethodDef kMethods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&row_list_arrow)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", &row_list_reduce, METH_NOARGS, "A plain list of the same rows."},
    {"__copy__", &row_list_copy, METH_NOARGS, "A plain list of the same rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_row_list_type() noexcept {
  if (g_row_list) return true;
  try {
    kMethods[0].ml_doc = bind::keep(std::string("__arrow_c_stream__($self, requested_schema=None)\n--\n\n") +
                                    kArrowStreamDoc);
  } catch (...) {
    bind::set_python_error("");
    return false;
  }
  PyType_Slot slots[] = {
      {Py_tp_base, &PyList_Type},
      {Py_tp_new, reinterpret_cast<void*>(&row_list_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&row_list_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(PyList_Type.tp_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(PyList_Type.tp_clear)},
      {Py_tp_methods, kMethods},
      {Py_tp_doc, const_cast<char*>("The rows of a pool read: a list of StructValue that also exports them as an "
                                    "Arrow stream.")},
      {0, nullptr},
  };
  PyType_Spec spec{"pyostrel.StructValueList", static_cast<int>(sizeof(RowListObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  g_row_list = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_row_list != nullptr;
}

}  // namespace pyostrel

namespace pyostrel::bind {

PyObject* ToPy<CatalogRows>::convert(CatalogRows value) noexcept {
  if (!g_row_list) {
    set_internal_error("type object used before it was created");
    return nullptr;
  }
  Ref items(ToPy<std::vector<qel::rows::StructValue>>::convert(std::move(value.rows)));
  if (!items) return nullptr;
  Ref out(g_row_list->tp_new(g_row_list, nullptr, nullptr));
  if (!out || PyList_SetSlice(out.get(), 0, 0, items.get()) != 0) return nullptr;
  as_row_list(out.get())->catalog = std::move(value.catalog);
  return out.release();
}

}  // namespace pyostrel::bind
