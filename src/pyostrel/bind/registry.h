// The classes of the module by Python name. Each is defined once, next to its methods, when the extension is
// loaded; register_all builds and adds them in its own order, so the order is read in one place.
//
//   const bool kDefined = define_class("NetHeader", [] { return type_of<FrameHeader>([] { ... }); });
//   ... && add_class(m, "NetHeader") && ...
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel::bind {

// Builds the class once (a later call returns the same type); null with a Python error set on failure.
using DefineClass = PyTypeObject* (*)() noexcept;

// Records how to build the class `name`; true, for a namespace-scope initialiser. A name defined twice is reported
// by add_class.
bool define_class(const char* name, DefineClass define) noexcept;

// Builds the class `name` and adds it to the module under that name; false with a Python error set.
bool add_class(PyObject* module, const char* name) noexcept;

}  // namespace pyostrel::bind
