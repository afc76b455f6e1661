// Python classes of the trading server's session layer: Keepalive, universe
// revisions and seeds, subscription.

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/registry.h"
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

const bool kKeepaliveDefined = bind::define_class<Keepalive>("Keepalive", []() noexcept -> PyTypeObject* {
  return bind::type_of<Keepalive>([] {
    return Message<Keepalive>("Keepalive", "The keep-alive body: utc_now as a little-endian i32.")
        .encode()
        .decode_with<&qel::msg::decode_keepalive>(
            "Reads utc_now from the first 4 bytes of buf (bytes), ignoring the rest. Raises Exception "
            "\"Keepalive decode: buffer < 4 bytes\" on a shorter body.")
        .build();
  });
});

const bool kATUniverseReqDefined = bind::define_class<ATUniverseReq>("ATUniverseReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATUniverseReq>([] {
    return Message<ATUniverseReq>("ATUniverseReq", "The universe revision read: the base request only.")
        .encode()
        .build();
  });
});

const bool kATUniverseResDefined = bind::define_class<ATUniverseRes>("ATUniverseRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATUniverseRes>([] {
    Message<ATUniverseRes> cls("ATUniverseRes", "Universe revisions: one compressed row set per namespace.");
    cls.decode_with<&bind::decode_message<ATUniverseRes>>(
        "Reads the base response and one row set per namespace from buf (bytes); a body ending within 3 bytes after "
        "the base response has none. Raises Exception \"ATUniverseRes decode: ...\" otherwise on a short or "
        "malformed body, and then changes nothing.");
    return compressor(cls, "Keeps the serializer's current catalog for revs().")
        .method<&universe_revs>("revs", {}, "decompress: ",
                                "{namespace: [StructValue]}, decoded through the kept catalog.")
        .build();
  });
});

const bool kATUniverseSeedsReqDefined = bind::define_class<ATUniverseSeedsReq>("ATUniverseSeedsReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATUniverseSeedsReq>([] {
    return Message<ATUniverseSeedsReq>("ATUniverseSeedsReq", "The universe seed read for one name, market and day.")
        .encode()
        .decode()
        .build();
  });
});

const bool kATUniverseSeedsResDefined = bind::define_class<ATUniverseSeedsRes>("ATUniverseSeedsRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATUniverseSeedsRes>([] {
    Message<ATUniverseSeedsRes> cls("ATUniverseSeedsRes", "A seed reply; decode never raises.");
    cls.decode_with<&bind::decode_message<ATUniverseSeedsRes>>(
        "Reads what it can of the body buf (bytes), keeping the fields read; never raises on its content.");
    compressor(cls, "Keeps the serializer's current catalog for seed_data().");
    return row_set<&ATUniverseSeedsRes::seed, &seed_rows>(cls, "seed_data",
                                                          "The seed rows, or [] when they cannot be had.")
        .build();
  });
});

const bool kATSubscribeReqDefined = bind::define_class<ATSubscribeReq>("ATSubscribeReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATSubscribeReq>([] {
    return Message<ATSubscribeReq>("ATSubscribeReq", "The realtime subscription request.")
        .method<&set_filters>("set_filters", {"v"}, "", "Accepts only an empty list: the wire carries no filters.")
        .encode()
        .build();
  });
});

const bool kATUnsubscribeReqDefined = bind::define_class<ATUnsubscribeReq>("ATUnsubscribeReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATUnsubscribeReq>([] {
    return Message<ATUnsubscribeReq>("ATUnsubscribeReq", "Ends a realtime subscription.").encode().build();
  });
});

}  // namespace pyostrel
