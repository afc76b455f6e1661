// Python surface of market time: MarketStatus and the calendar functions.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

// Functions 1 to 6 of the registration sequence: breaks, continuations,
// equivalent time, trade-day sections and the two bar samplers.
bool add_sampler_functions(PyObject* module) noexcept;
// calculate_market_status, calculate_market_status_include_weekend,
// this_tradeday_sections.
bool add_market_status_functions(PyObject* module) noexcept;

}  // namespace pyostrel
