// Python classes of the historical fetch: ATFetchByCodeReq, ATFetchByTimeReq,
// ATFetchSVRes.

#include "pyostrel/bind/message.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/fetch.h"

namespace pyostrel {

using bind::Message;
using namespace qel::msg;

namespace {

// Rendered straight into the returned bytes.
bind::RenderedBytes json_results(ATFetchSVRes& res) {
  bind::BytesTextBuffer out;
  fetch_json(res, out);
  return {out.take()};
}

}  // namespace

const bool kDefined[] = {
    bind::define("ATFetchByCodeReq", "Rows of one market and code over a time window.",
                 [](Message<ATFetchByCodeReq>& c) { c.encode().decode(); }),
    bind::define("ATFetchByTimeReq", "Rows at one time tag for market/code pairs.",
                 [](Message<ATFetchByTimeReq>& c) { c.encode().decode(); }),
    bind::define("ATFetchSVRes", "A fetch reply's rows; decode never raises.", [](Message<ATFetchSVRes>& cls) {
      cls.decode(
          "Reads the body buf (bytes): an error reply keeps only its base response, a success reply its rows, "
          "decoded once a catalog is kept. Never raises on its content.");
      compressor(cls, "Keeps the serializer's current catalog and decodes rows still waiting.");
      row_set<&ATFetchSVRes::rows>(cls, "results", "Copies of the rows.")
          .method<&json_results>("json_results", {}, "", "The rows as JSON text.")
          .method<&json_results>("json_result", {}, "", "The rows as JSON text.");
    }),
};

}  // namespace pyostrel
