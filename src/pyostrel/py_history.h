// Python classes of the storage master's history bodies.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* net_request_type() noexcept;
PyTypeObject* net_response_type() noexcept;
PyTypeObject* net_base_request_type() noexcept;
PyTypeObject* net_base_response_type() noexcept;
PyTypeObject* history_error_response_type() noexcept;

}  // namespace pyostrel
