// Python classes of the trading server's session layer and historical fetch.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* keepalive_type() noexcept;
PyTypeObject* universe_req_type() noexcept;
PyTypeObject* universe_res_type() noexcept;
PyTypeObject* universe_seeds_req_type() noexcept;
PyTypeObject* universe_seeds_res_type() noexcept;
PyTypeObject* subscribe_req_type() noexcept;
PyTypeObject* unsubscribe_req_type() noexcept;
PyTypeObject* fetch_by_code_req_type() noexcept;
PyTypeObject* fetch_by_time_req_type() noexcept;
PyTypeObject* fetch_sv_res_type() noexcept;

}  // namespace pyostrel
