// The Arrow stream capsule: the export's stream, owned by the capsule until a consumer moves it out.
#include "pyostrel/py_arrow.h"

#include <memory>

#include "qel/arrow/export.h"

namespace pyostrel {
namespace {

constexpr const char* kCapsuleName = "arrow_array_stream";

// A consumer moves the stream out and marks it released; an unconsumed one is released here.
void free_stream(PyObject* capsule) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

template <class Fill>
bind::Ref capsule_of(Fill&& fill) {
  auto stream = std::make_unique<ArrowArrayStream>();
  fill(stream.get());
  bind::Ref capsule(PyCapsule_New(stream.get(), kCapsuleName, &free_stream));
  if (!capsule) {
    stream->release(stream.get());
    throw bind::PythonErrorSet{};
  }
  stream.release();
  return capsule;
}

void require(const qel::rows::CatalogSnapshot& catalog, bool has_rows) {
  if (has_rows && !catalog) throw qel::Error("no catalog to read the rows with (set_compressor first)");
}

}  // namespace

bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::wire::Bytes blob) {
  require(catalog, !blob.empty());
  static const qel::rows::IndexSchemaCatalog kEmpty;
  return capsule_of([&](ArrowArrayStream* s) { qel::arrow::export_stream(catalog ? *catalog : kEmpty, blob, s); });
}

bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::rows::RowRefs rows) {
  require(catalog, !rows.empty());
  static const qel::rows::IndexSchemaCatalog kEmpty;
  return capsule_of([&](ArrowArrayStream* s) { qel::arrow::export_rows(catalog ? *catalog : kEmpty, rows, s); });
}

}  // namespace pyostrel
