// Python classes of market reference data: Commission, MarketMeta, MarketInfo
// and the bundle loader.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* commission_type() noexcept;
PyTypeObject* market_meta_type() noexcept;
PyTypeObject* market_info_type() noexcept;
// load_market_meta_from_json_str.
bool add_market_meta_functions(PyObject* module) noexcept;

}  // namespace pyostrel
