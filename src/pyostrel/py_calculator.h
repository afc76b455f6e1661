// Python classes of the calculator: TCDataCommunication and StructValueKey.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* tc_data_communication_type() noexcept;
PyTypeObject* struct_value_key_type() noexcept;

}  // namespace pyostrel
