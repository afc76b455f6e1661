// The classes of the module, by Python name and by native type. Each is defined once, next to its methods, when
// the extension is loaded; register_all builds and adds them in its own order, so the order is read in one place.
// The native type's name is known from loading on, so a signature may name a class built after its own.
// Classes are defined through bind::define (bind/class.h):
//
//   const bool kDefined[] = {bind::define<Class<FrameHeader>>("NetHeader", "doc", [](auto& c) { ... })};
//   ... && add_class(m, "NetHeader") && ...
#pragma once

#include <typeinfo>

#include "pyostrel/bind/python.h"

namespace pyostrel::bind {

// Makes the class `name`, documented by `doc`, and builds its type; null with a Python error set on failure.
using MakeClass = PyTypeObject* (*)(const char* name, const char* doc) noexcept;

// Records how to make the class `name`, and `native` as the type its instances hold when it is the class that
// conversions make (a second class over the same type passes none); true, for a namespace-scope initialiser. A
// name or type defined twice is reported by add_class.
bool define_class(const char* name, const char* doc, MakeClass make, const std::type_info* native) noexcept;

// The Python name of the class defined over `native`, or null.
const char* class_name_of(const std::type_info& native) noexcept;

// Builds the class `name` once (a retried import reuses the type) and adds it to the module under that name;
// false with a Python error set.
bool add_class(PyObject* module, const char* name) noexcept;

}  // namespace pyostrel::bind
