// Python classes of market reference data: Commission, MarketMeta, MarketInfo
// and the bundle loader.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

// load_market_meta_from_json_str.
bool add_market_meta_functions(PyObject* module) noexcept;

}  // namespace pyostrel
