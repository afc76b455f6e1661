// A list of rows that also exports them as an Arrow stream: what a pool read returns.
#pragma once

#include <vector>

#include "pyostrel/bind/annotate.h"
#include "pyostrel/bind/convert.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/struct_value.h"

namespace pyostrel {

// Rows of one row type and the catalog they were read through.
struct CatalogRows {
  std::vector<qel::rows::StructValue> rows;
  qel::rows::CatalogSnapshot catalog;
};

// Creates the list subclass (kept for the process, not a module attribute); false with an error set.
bool init_row_list_type() noexcept;

}  // namespace pyostrel

namespace pyostrel::bind {

// A list subclass of StructValue: equal to the plain list of its rows, pickled and copied as one, with
// __arrow_c_stream__ over the rows it holds, read through the kept catalog.
template <>
struct ToPy<CatalogRows> {
  static PyObject* convert(CatalogRows value) noexcept;
};
template <Dir D>
struct PyType<CatalogRows, D> {
  static std::string text() { return "list[StructValue]"; }
};

}  // namespace pyostrel::bind
