// Python classes of the trading server's session layer: Keepalive, universe
// revisions and seeds, subscription.

#include "pyostrel/bind/message.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/trading_server.h"

namespace pyostrel {
namespace {

using bind::Message;
using bind::Ref;
using namespace qel::msg;

// {namespace: [StructValue, ...]}; a repeated namespace keeps its later rows.
Ref universe_revs(const ATUniverseRes& res) {
  Ref dict(PyDict_New());
  if (!dict) throw bind::PythonErrorSet{};
  for (auto& [namespace_, rows] : universe_revisions(res)) {
    Ref key(bind::ToPy<std::string>::convert(namespace_));
    Ref value(bind::ToPy<std::vector<qel::rows::StructValue>>::convert(std::move(rows)));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw bind::PythonErrorSet{};
  }
  return dict;
}

void set_filters(ATSubscribeReq& req, bind::Sequence filters) { set_subscribe_filters(req, filters.size()); }

}  // namespace

const bool kDefined[] = {
    bind::define("Keepalive", "The keep-alive body: utc_now as a little-endian i32.", [](Message<Keepalive>& c) {
      c.encode()
          .decode_with<&qel::msg::decode_keepalive>(
              "Reads utc_now from the first 4 bytes of buf (bytes), ignoring the rest. Raises Exception "
              "\"Keepalive decode: buffer < 4 bytes\" on a shorter body.");
    }),
    bind::define("ATUniverseReq", "The universe revision read: the base request only.",
                 [](Message<ATUniverseReq>& c) { c.encode(); }),
    bind::define(
        "ATUniverseRes", "Universe revisions: one compressed row set per namespace.",
        [](Message<ATUniverseRes>& cls) {
          cls.decode(
              "Reads the base response and one row set per namespace from buf (bytes); a body ending within 3 bytes "
              "after the base response has none. Raises Exception \"ATUniverseRes decode: ...\" otherwise on a short "
              "or malformed body, and then changes nothing.");
          compressor(cls, "Keeps the serializer's current catalog for revs().")
              .method<&universe_revs>("revs", {}, "decompress: ",
                                      "{namespace: [StructValue]}, decoded through the kept catalog.");
        }),
    bind::define("ATUniverseSeedsReq", "The universe seed read for one name, market and day.",
                 [](Message<ATUniverseSeedsReq>& c) { c.encode().decode(); }),
    bind::define("ATUniverseSeedsRes", "A seed reply; decode never raises.", [](Message<ATUniverseSeedsRes>& cls) {
      cls.decode(
          "Reads what it can of the body buf (bytes), keeping the fields read; never raises on its content.");
      compressor(cls, "Keeps the serializer's current catalog for seed_data().");
      row_set<&ATUniverseSeedsRes::seed, RowsBy::kOrNone>(cls, "seed_data",
                                                          "The seed rows, or [] when they cannot be had.");
    }),
    bind::define("ATSubscribeReq", "The realtime subscription request.", [](Message<ATSubscribeReq>& c) {
      c.method<&set_filters>("set_filters", {"v"}, "", "Accepts only an empty list: the wire carries no filters.")
          .encode();
    }),
    bind::define("ATUnsubscribeReq", "Ends a realtime subscription.", [](Message<ATUnsubscribeReq>& c) { c.encode(); }),
};

}  // namespace pyostrel
