// Python classes of the data ring: push sessions, row pushes, the market-status
// broadcast and LanterfoldCategory.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* lanterfold_category_type() noexcept;
PyTypeObject* dr_market_status_type() noexcept;
PyTypeObject* push_start_req_type() noexcept;
PyTypeObject* push_start_res_type() noexcept;
PyTypeObject* push_stop_req_type() noexcept;
PyTypeObject* push_stop_res_type() noexcept;
PyTypeObject* binary_push_req_type() noexcept;
PyTypeObject* sampler_push_req_type() noexcept;
PyTypeObject* report_market_meta_req_type() noexcept;

}  // namespace pyostrel
