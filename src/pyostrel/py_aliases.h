// Compatibility container types: list, dict and set subclasses under the names
// framework scripts use, and empty marker types.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

bool add_alias_types(PyObject* module) noexcept;

}  // namespace pyostrel
