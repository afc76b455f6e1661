// Python classes of the storage-master client's records: KestrinConfig and
// KestrinStructValueKey.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* kestrin_config_type() noexcept;
PyTypeObject* kestrin_struct_value_key_type() noexcept;

}  // namespace pyostrel
