// Python classes of the data ring: DRPushStartReq/Res, DRPushStopReq/Res,
// DRBinaryPushDataReq, DRSamplerPushDataReq, DRReportMarketMetaReq,
// DRMarketStatus, LanterfoldCategory.

#include <span>
#include <vector>

#include "pyostrel/bind/message.h"
#include "pyostrel/py_arrow.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/data_ring.h"

namespace pyostrel {
namespace {

using bind::Message;
using bind::SharedList;
using qel::rows::StructValue;
using namespace qel::msg;

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

const bool kDefined[] = {
    bind::define("LanterfoldCategory", "A data-ring member's category and identity.",
                 [](Message<LanterfoldCategory>& c) {
                   c.encode().method<&qel::msg::decode_lanterfold>(
                       "decode", {"buf"}, "LanterfoldCategory.decode ",
                       "Reads category, then identify; on failure nothing changes.");
                 }),
    bind::define("DRMarketStatus", "The multi-market status broadcast.",
                 [](Message<DRMarketStatus>& c) { c.encode().decode(); }),
    bind::define("DRPushStartReq", "Starts a push session; seq stays off the wire.", [](Message<DRPushStartReq>& c) {
      c.method<&bind::get_member<&DRPushStartReq::seq>>("get_seq", {}, "", "Returns the correlation number.")
          .method<&bind::set_member<&DRPushStartReq::seq>>("set_seq", {"v"}, "",
                                                            "Sets the i32 correlation number (never encoded).")
          .encode();
    }),
    bind::define("DRPushStopReq", "Stops a push session.", [](Message<PushSession>& c) { c.encode(); }),
    bind::define_another<Message<PushSession>>("DRPushStartRes", "The push-session start reply.",
                                               [](auto& c) { c.decode(); }),
    bind::define_another<Message<PushSession>>("DRPushStopRes", "The push-session stop reply.",
                                               [](auto& c) { c.decode(); }),
    bind::define("DRBinaryPushDataReq", "Pushes rows to the data ring.",
                 [](Message<BinaryPush>& cls) { push_methods(cls); }),
    bind::define_another("DRReportMarketMetaReq", "Reports market meta rows to the data ring.",
                         [](Message<BinaryPush>& cls) { push_methods(cls); }),
    bind::define("DRSamplerPushDataReq", "Pushes sampler rows; save follows the rows.",
                 [](Message<SamplerPush>& cls) { push_methods(cls); }),
};

}  // namespace pyostrel
