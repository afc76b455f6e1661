// Python classes of the data ring: DRPushStartReq/Res, DRPushStopReq/Res,
// DRBinaryPushDataReq, DRSamplerPushDataReq, DRReportMarketMetaReq,
// DRMarketStatus, LanterfoldCategory.

#include <span>
#include <vector>

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/registry.h"
#include "pyostrel/py_arrow.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/data_ring.h"

namespace pyostrel {
namespace {

using bind::Message;
using bind::SharedList;
using qel::rows::StructValue;
using namespace qel::msg;

// A second class over a native type that already has one: built once into
// its own cache.
template <class Define>
PyTypeObject* second_type(PyTypeObject*& cache, Define&& define) noexcept {
  if (cache) return cache;
  try {
    return define(cache);
  } catch (...) {
    bind::set_python_error("");
    return nullptr;
  }
}

// ---- row pushes ---------------------------------------------------------------

BinaryPush& push_of(BinaryPush& p) { return p; }
const BinaryPush& push_of(const BinaryPush& p) { return p; }
BinaryPush& push_of(SamplerPush& s) { return s.push; }
const BinaryPush& push_of(const SamplerPush& s) { return s.push; }

template <class T>
void set_compressor(T& m, qel::rows::CatalogSnapshot catalog) {
  push_of(m).catalog = std::move(catalog);
}

template <class T>
void set_values(T& m, SharedList<StructValue> values) {
  std::vector<StructValue> copies;
  copies.reserve(values.refs().size());
  for (const StructValue* row : values.refs()) copies.push_back(*row);
  push_of(m).values = std::move(copies);
}

// Copied straight into the new objects.
template <class T>
std::span<const StructValue> values(const T& m) {
  return push_of(m).values;
}

template <class T>
std::string encode(const T& m) {
  return encode_push(m);
}

// The rows as the receiver decodes them: packed through the kept catalog, then read back.
template <class T>
bind::Ref push_arrow(const T& m, bind::Object) {
  const BinaryPush& p = push_of(m);
  std::vector<const StructValue*> refs;
  refs.reserve(p.values.size());
  for (const StructValue& row : p.values) refs.push_back(&row);
  return arrow_capsule(p.catalog, refs);
}

template <class T>
Message<T>& push_methods(Message<T>& cls) {
  return cls.template method<&set_compressor<T>>("set_compressor", {"compressor"}, "",
                                                 "Keeps the serializer's current catalog for encode().")
      .template method<&set_values<T>>("set_values", {"values"}, "", "Stores copies of the rows, replacing any.")
      .template method<&values<T>>("values", {}, "", "Copies of the rows.")
      .template method<&push_arrow<T>>("__arrow_c_stream__", {"requested_schema=None"}, "__arrow_c_stream__: ",
                                       kArrowStreamDoc)
      .template method<&encode<T>>("encode", {}, "",
                                   "The body; the rows go as a compressed batch set built with the kept catalog.");
}

// ---- LanterfoldCategory ---------------------------------------------------------

}  // namespace

const bool kLanterfoldCategoryDefined = bind::define_class<LanterfoldCategory>("LanterfoldCategory", []() noexcept -> PyTypeObject* {
  return bind::type_of<LanterfoldCategory>([] {
    return Message<LanterfoldCategory>("LanterfoldCategory", "A data-ring member's category and identity.")
        .encode()
        .method<&qel::msg::decode_lanterfold>("decode", {"buf"}, "LanterfoldCategory.decode ",
                                    "Reads category, then identify; on failure nothing changes.")
        .build();
  });
});

const bool kDRMarketStatusDefined = bind::define_class<DRMarketStatus>("DRMarketStatus", []() noexcept -> PyTypeObject* {
  return bind::type_of<DRMarketStatus>([] {
    return Message<DRMarketStatus>("DRMarketStatus", "The multi-market status broadcast.").encode().decode().build();
  });
});

const bool kDRPushStartReqDefined = bind::define_class<DRPushStartReq>("DRPushStartReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<DRPushStartReq>([] {
    return Message<DRPushStartReq>("DRPushStartReq", "Starts a push session; seq stays off the wire.")
        .method<&bind::get_member<&DRPushStartReq::seq>>("get_seq", {}, "", "Returns the correlation number.")
        .method<&bind::set_member<&DRPushStartReq::seq>>("set_seq", {"v"}, "",
                                                          "Sets the i32 correlation number (never encoded).")
        .encode()
        .build();
  });
});

const bool kDRPushStopReqDefined = bind::define_class<PushSession>("DRPushStopReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<PushSession>([] {
    return Message<PushSession>("DRPushStopReq", "Stops a push session.").encode().build();
  });
});

const bool kDRPushStartResDefined = bind::define_class("DRPushStartRes", []() noexcept -> PyTypeObject* {
  static PyTypeObject* cache = nullptr;
  return second_type(cache, [](PyTypeObject*& c) {
    return Message<PushSession>("DRPushStartRes", "The push-session start reply.").decode().build(c);
  });
});

const bool kDRPushStopResDefined = bind::define_class("DRPushStopRes", []() noexcept -> PyTypeObject* {
  static PyTypeObject* cache = nullptr;
  return second_type(cache, [](PyTypeObject*& c) {
    return Message<PushSession>("DRPushStopRes", "The push-session stop reply.").decode().build(c);
  });
});

const bool kDRBinaryPushDataReqDefined = bind::define_class<BinaryPush>("DRBinaryPushDataReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<BinaryPush>([] {
    Message<BinaryPush> cls("DRBinaryPushDataReq", "Pushes rows to the data ring.");
    return push_methods(cls).build();
  });
});

const bool kDRReportMarketMetaReqDefined = bind::define_class("DRReportMarketMetaReq", []() noexcept -> PyTypeObject* {
  static PyTypeObject* cache = nullptr;
  return second_type(cache, [](PyTypeObject*& c) {
    Message<BinaryPush> cls("DRReportMarketMetaReq", "Reports market meta rows to the data ring.");
    return push_methods(cls).build(c);
  });
});

const bool kDRSamplerPushDataReqDefined = bind::define_class<SamplerPush>("DRSamplerPushDataReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<SamplerPush>([] {
    Message<SamplerPush> cls("DRSamplerPushDataReq", "Pushes sampler rows; save follows the rows.");
    return push_methods(cls).build();
  });
});

}  // namespace pyostrel
