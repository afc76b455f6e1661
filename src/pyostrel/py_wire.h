// Python classes of the wire foundation: NetHeader, NetPackage, RawFrameReader.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

bool add_encode_raw_frame(PyObject* module) noexcept;

}  // namespace pyostrel
