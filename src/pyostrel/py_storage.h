// The storage-master pool's module functions.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

bool add_storage_functions(PyObject* module) noexcept;

}  // namespace pyostrel
