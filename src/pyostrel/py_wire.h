// Python classes of the wire foundation: NetHeader, NetPackage, RawFrameReader.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* raw_frame_reader_type() noexcept;
PyTypeObject* net_header_type() noexcept;
PyTypeObject* net_package_type() noexcept;
bool add_encode_raw_frame(PyObject* module) noexcept;

}  // namespace pyostrel
