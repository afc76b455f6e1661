// Python classes of rows and schemas: StructValue, Field, IndexMeta,
// IndexSchema, IndexSerializer, PyIndexDataMap.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* struct_value_type() noexcept;
PyTypeObject* field_type() noexcept;
PyTypeObject* index_meta_type() noexcept;
PyTypeObject* index_schema_type() noexcept;
PyTypeObject* index_serializer_type() noexcept;
PyTypeObject* index_data_map_type() noexcept;

}  // namespace pyostrel
