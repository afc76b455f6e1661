// Python classes of the historical fetch: ATFetchByCodeReq, ATFetchByTimeReq,
// ATFetchSVRes.

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/registry.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/fetch.h"

namespace pyostrel {
namespace {

using bind::Message;
using qel::msg::ATFetchByCodeReq;
using qel::msg::ATFetchByTimeReq;
using qel::msg::ATFetchSVRes;
using qel::rows::StructValue;

// The first call after a decode moves the decoded rows into the new objects,
// so a fresh reply's rows are built once, as a batch the serializer decodes is.
std::vector<StructValue> results(ATFetchSVRes& res) { return qel::msg::take_fetch_rows(res); }

bind::RenderedBytes json_results(ATFetchSVRes& res) {
  bind::BytesTextBuffer out;
  qel::msg::fetch_json(res, out);
  return {out.take()};
}

}  // namespace

const bool kATFetchByCodeReqDefined = bind::define_class<ATFetchByCodeReq>("ATFetchByCodeReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATFetchByCodeReq>([] {
    return Message<ATFetchByCodeReq>("ATFetchByCodeReq", "Rows of one market and code over a time window.")
        .encode()
        .decode()
        .build();
  });
});

const bool kATFetchByTimeReqDefined = bind::define_class<ATFetchByTimeReq>("ATFetchByTimeReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATFetchByTimeReq>([] {
    return Message<ATFetchByTimeReq>("ATFetchByTimeReq", "Rows at one time tag for market/code pairs.")
        .encode()
        .decode()
        .build();
  });
});

const bool kATFetchSVResDefined = bind::define_class<ATFetchSVRes>("ATFetchSVRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATFetchSVRes>([] {
    Message<ATFetchSVRes> cls("ATFetchSVRes", "A fetch reply's rows; decode never raises.");
    cls.decode_with<&qel::msg::decode_fetch_reply>(
           "Reads the body buf (bytes): an error reply keeps only its base response, a success reply its rows, "
           "decoded once a catalog is kept. Never raises on its content.")
        .method<&qel::msg::attach_catalog>("set_compressor", {"compressor"}, "",
                                           "Keeps the serializer's current catalog and decodes rows still waiting.");
    return row_set<&ATFetchSVRes::rows, &results>(cls, "results", "Copies of the rows.")
        .method<&json_results>("json_results", {}, "", "The rows as JSON text.")
        .method<&json_results>("json_result", {}, "", "The rows as JSON text.")
        .build();
  });
});

}  // namespace pyostrel
