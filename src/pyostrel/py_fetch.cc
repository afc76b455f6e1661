// Python classes of the historical fetch: ATFetchByCodeReq, ATFetchByTimeReq,
// ATFetchSVRes.

#include "pyostrel/bind/message.h"
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

std::string json_results(ATFetchSVRes& res) { return qel::msg::fetch_json(res); }

}  // namespace

const bool kDefined[] = {
    bind::define("ATFetchByCodeReq", "Rows of one market and code over a time window.",
                 [](Message<ATFetchByCodeReq>& c) { c.encode().decode(); }),
    bind::define("ATFetchByTimeReq", "Rows at one time tag for market/code pairs.",
                 [](Message<ATFetchByTimeReq>& c) { c.encode().decode(); }),
    bind::define("ATFetchSVRes", "A fetch reply's rows; decode never raises.", [](Message<ATFetchSVRes>& cls) {
      cls.decode_with<&bind::decode_message<ATFetchSVRes>>(
             "Reads the body buf (bytes): an error reply keeps only its base response, a success reply its rows, "
             "decoded once a catalog is kept. Never raises on its content.")
          .method<&qel::msg::attach_catalog>("set_compressor", {"compressor"}, "",
                                             "Keeps the serializer's current catalog and decodes rows still waiting.");
      row_set<&ATFetchSVRes::rows, &results>(cls, "results", "Copies of the rows.")
          .method<&json_results>("json_results", {}, "", "The rows as JSON text.")
          .method<&json_results>("json_result", {}, "", "The rows as JSON text.");
    }),
};

}  // namespace pyostrel
