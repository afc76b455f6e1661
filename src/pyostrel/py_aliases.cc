// Compatibility container types: list, dict and set subclasses under the names
// framework scripts use, and empty marker types.
#include "pyostrel/py_aliases.h"

#include "pyostrel/bind/function.h"
#include "pyostrel/bind/ref.h"

namespace pyostrel {
namespace {

using bind::Ref;

const char* const kListAliases[] = {
    "StructValueVector",       "IndexMetaVector",         "FieldVector",
    "Int32Vector",             "Int64Vector",             "Uint32Vector",
    "DoubleVector",            "StringVector",            "Int32PairVector",
    "SecuritySelectorVector",  "UniverseOutExportDefVector", "UniverseOutSubAccountVector",
    "StructValueKeyValueVector", "MarketMetaVector",
};
const char* const kDictAliases[] = {
    "Int32PairVectorMap",   "StringToStringVector",   "StringToSetOfStringMap",
    "StringToSetOfUint32Map", "UniverseInMap",        "UniverseOutMap",
    "UniverseOutExportMap", "ImportsMap",             "Int32StringMap",
    "Uint32ToByteArrayMap", "StructValueKeyToSetOfUint32Map", "StructValueKeyToSetOfStructValueKeyMap",
    "MarketCategoryMap",    "MarketSecurityMap",
};
const char* const kSetAliases[] = {"Uint32Set", "StringSet"};
// The message kinds these name have no codec here; scripts only test for them.
// DRPushStartRes is replaced by its real class later in the registration.
const char* const kMarkerTypes[] = {
    "TCError",         "TCLog",          "TCReady",         "ATBaseResponse",
    "ATCalFormulaRes", "ATCalFormulaRTRes", "ATRegFormulaRes", "ATSubscribeOrderRes",
    "ATSubscribeRes",  "ATSubscribeSVRes", "DRCoverUpReq",    "DRPushStartRes",
};

struct Method {
  const char* name;
  PyObject* fn;
};

// type(name, (base,), {}) with `methods` set on it, added to the module. The
// class is created with its text signature heading the docstring, which
// __text_signature__ reads from then on (dict and set have none of their own to
// inherit); __doc__ is then set to the text alone.
bool add_alias(PyObject* module, PyObject* type_fn, PyObject* base, const char* name, const char* signature,
               const char* doc, std::initializer_list<Method> methods) {
  Ref whole(PyUnicode_FromFormat("%s%s\n--\n\n%s", name, signature, doc));
  if (!whole) return false;
  Ref type(PyObject_CallFunction(type_fn, "s(O){sO}", name, base, "__doc__", whole.get()));
  if (!type) return false;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) return false;
  Ref text(PyUnicode_FromString(doc));
  if (!text || PyObject_SetAttrString(type.get(), "__doc__", text.get()) < 0) return false;
  for (const Method& m : methods) {
    if (PyObject_SetAttrString(type.get(), m.name, m.fn) < 0) return false;
  }
  return bind::add_object(module, name, type.get());
}

Ref eval_lambda(const char* source, const char* doc, PyObject* globals) {
  Ref fn(PyRun_String(source, Py_eval_input, globals, globals));
  Ref text(fn ? PyUnicode_FromString(doc) : nullptr);
  if (!text || PyObject_SetAttrString(fn.get(), "__doc__", text.get()) < 0) return Ref();
  return fn;
}

}  // namespace

bool add_alias_types(PyObject* module) noexcept {
  Ref builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return false;
  Ref type_fn(PyObject_GetAttrString(builtins.get(), "type"));
  Ref list(PyObject_GetAttrString(builtins.get(), "list"));
  Ref dict(PyObject_GetAttrString(builtins.get(), "dict"));
  Ref set(PyObject_GetAttrString(builtins.get(), "set"));
  if (!type_fn || !list || !dict || !set) return false;

  Ref globals(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return false;
  // One function object of each kind, shared by every alias type.
  Ref push_back = eval_lambda("lambda self, x: self.append(x)", "Appends x.", globals.get());
  Ref size = eval_lambda("lambda self: len(self)", "Returns the number of elements.", globals.get());
  Ref empty = eval_lambda("lambda self: len(self) == 0", "Whether there are no elements.", globals.get());
  Ref insert = eval_lambda("lambda self, x: self.add(x)", "Adds x.", globals.get());
  if (!push_back || !size || !empty || !insert) return false;

  for (const char* name : kListAliases) {
    if (!add_alias(module, type_fn.get(), list.get(), name, "(iterable=(), /)",
                   "A list under a name framework scripts use, with push_back(x), size() and empty().",
                   {{"push_back", push_back.get()}, {"size", size.get()}, {"empty", empty.get()}})) {
      return false;
    }
  }
  for (const char* name : kDictAliases) {
    if (!add_alias(module, type_fn.get(), dict.get(), name, "(iterable=(), /, **kwargs)",
                   "A dict under a name framework scripts use, with size() and empty().",
                   {{"size", size.get()}, {"empty", empty.get()}})) {
      return false;
    }
  }
  for (const char* name : kSetAliases) {
    if (!add_alias(module, type_fn.get(), set.get(), name, "(iterable=(), /)",
                   "A set under a name framework scripts use, with insert(x), size() and empty().",
                   {{"insert", insert.get()}, {"size", size.get()}, {"empty", empty.get()}})) {
      return false;
    }
  }
  Ref object(PyObject_GetAttrString(builtins.get(), "object"));
  if (!object) return false;
  for (const char* name : kMarkerTypes) {
    if (!add_alias(module, type_fn.get(), object.get(), name, "()",
                   "A message kind without a codec here: scripts only test for its name.", {})) {
      return false;
    }
  }
  return true;
}

}  // namespace pyostrel
