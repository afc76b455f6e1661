// Python classes of the calculator: TCDataCommunication (data batches and the
// load balancer) and StructValueKey.

#include <span>
#include <utility>
#include <vector>

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/state.h"
#include "pyostrel/py_arrow.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/calculator.h"
#include "qel/msg/worker_routing.h"

namespace pyostrel {
namespace {

using bind::Class;
using bind::Message;
using bind::Ref;
using bind::Shared;
using bind::SharedList;
using qel::balance::Dependency;
using qel::balance::StructValueKey;
using qel::balance::WorkerSet;
using qel::msg::TCDataCommunication;
using qel::rows::IndexSerializer;
using qel::rows::StructValue;

// {StructValueKey: iterable of worker numbers}, in the dict's order.
struct KeyWorkers {
  std::vector<std::pair<StructValueKey, WorkerSet>> entries;
};

// {StructValueKey: iterable of StructValueKey}, in the dict's order.
struct Dependencies {
  std::vector<Dependency> entries;
};

}  // namespace
}  // namespace pyostrel

namespace pyostrel::bind {
namespace {

// Calls add(item) for each item of `iterable`; false with an error set.
template <class Add>
bool for_each_item(PyObject* iterable, Add&& add) noexcept {
  Ref it(PyObject_GetIter(iterable));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!add(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool worker_numbers(PyObject* obj, WorkerSet& out) noexcept {
  return for_each_item(obj, [&](PyObject* item) {
    std::uint32_t w;
    if (!Arg<std::uint32_t>::convert(item, w)) return false;
    try {
      out.insert(w);
      return true;
    } catch (...) {
      PyErr_NoMemory();
      return false;
    }
  });
}

bool dependent_keys(PyObject* obj, std::vector<StructValueKey>& out) noexcept {
  return for_each_item(obj, [&](PyObject* item) {
    StructValueKey key;
    if (!Arg<StructValueKey>::convert(item, key)) return false;
    try {
      out.push_back(std::move(key));
      return true;
    } catch (...) {
      PyErr_NoMemory();
      return false;
    }
  });
}

// A dict's entries, its items taken at once: converting the values may run
// Python code that changes the dict.
template <class Value, class Convert>
bool convert_dict(PyObject* obj, std::vector<std::pair<StructValueKey, Value>>& out, Convert&& convert) noexcept {
  if (!PyDict_Check(obj)) return wrong_type(obj, "dict");
  Ref items(PyDict_Items(obj));
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  try {
    out.reserve(static_cast<std::size_t>(n));
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    std::pair<StructValueKey, Value> entry;
    if (!Arg<StructValueKey>::convert(PyTuple_GET_ITEM(item, 0), entry.first) || !convert(PyTuple_GET_ITEM(item, 1), entry.second)) {
      return false;
    }
    out.push_back(std::move(entry));  // within the reserved room
  }
  return true;
}

}  // namespace

template <>
struct Arg<KeyWorkers> {
  static bool convert(PyObject* obj, KeyWorkers& out) noexcept {
    return convert_dict(obj, out.entries, &worker_numbers);
  }
};

template <>
struct Arg<Dependencies> {
  static bool convert(PyObject* obj, Dependencies& out) noexcept {
    std::vector<std::pair<StructValueKey, std::vector<StructValueKey>>> entries;
    if (!convert_dict(obj, entries, &dependent_keys)) return false;
    try {
      out.entries.reserve(entries.size());
      for (auto& [key, deps] : entries) out.entries.push_back({std::move(key), std::move(deps)});
      return true;
    } catch (...) {
      PyErr_NoMemory();
      return false;
    }
  }
};

}  // namespace pyostrel::bind

namespace pyostrel {
namespace {

// ---- TCDataCommunication: batches and bodies --------------------------------

void set_sva(TCDataCommunication& m, std::uint16_t ns, std::uint32_t meta_id, SharedList<StructValue> data) {
  std::vector<StructValue> rows;
  rows.reserve(data.refs().size());
  for (const StructValue* row : data.refs()) rows.push_back(*row);
  m.batches[{ns, meta_id}] = std::move(rows);
}

std::span<const StructValue> get_sva(const TCDataCommunication& m, std::uint16_t ns, std::uint32_t meta_id) {
  const auto it = m.batches.find({ns, meta_id});
  if (it == m.batches.end()) return {};
  return it->second;
}

std::vector<qel::rows::SchemaKey> keys(const TCDataCommunication& m) {
  std::vector<qel::rows::SchemaKey> out;
  out.reserve(m.batches.size());
  for (const auto& entry : m.batches) out.push_back(entry.first);
  return out;
}

Ref all_rows(const TCDataCommunication& m) {
  const std::vector<const StructValue*> rows = qel::msg::stored_rows(m.batches);
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) throw bind::PythonErrorSet{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = bind::ToPy<StructValue>::convert(*rows[i]);
    if (!row) throw bind::PythonErrorSet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list;
}

void reset(TCDataCommunication& m) { m.batches.clear(); }

// Rendered straight into the returned bytes.
bind::RenderedBytes decode_to_json(const TCDataCommunication& m, qel::wire::Bytes data) {
  bind::BytesTextBuffer out;
  qel::msg::decode_to_json(m, data, out);
  return {out.take()};
}

std::string encode_string(const TCDataCommunication& m, Shared<IndexSerializer> compressor) {
  return qel::msg::encode_data(m, compressor->catalog());
}

// ---- TCDataCommunication: the balancer --------------------------------------

bool get_disable_load_balance(const TCDataCommunication& m) { return m.balancer.disable_load_balance; }
void set_disable_load_balance(TCDataCommunication& m, bool v) { m.balancer.disable_load_balance = v; }
bool get_dynamic_load_balance(const TCDataCommunication& m) { return m.balancer.dynamic_load_balance; }
void set_dynamic_load_balance(TCDataCommunication& m, bool v) { m.balancer.dynamic_load_balance = v; }

// {StructValueKey: set of worker numbers}, in key order.
Ref get_workers(const TCDataCommunication& m) {
  Ref dict(PyDict_New());
  if (!dict) throw bind::PythonErrorSet{};
  for (const auto& [key, set] : m.balancer.workers()) {
    Ref k(bind::ToPy<StructValueKey>::convert(key));
    Ref v(PySet_New(nullptr));
    if (!k || !v) throw bind::PythonErrorSet{};
    for (std::uint32_t w : set) {
      Ref number(PyLong_FromUnsignedLong(w));
      if (!number || PySet_Add(v.get(), number.get()) < 0) throw bind::PythonErrorSet{};
    }
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw bind::PythonErrorSet{};
  }
  return dict;
}

void setup_workers(TCDataCommunication& m, KeyWorkers wks) {
  qel::balance::Workers workers;
  for (auto& [key, set] : wks.entries) workers.insert_or_assign(std::move(key), std::move(set));
  m.balancer.setup_workers(std::move(workers));
}

void set_workers(TCDataCommunication& m, KeyWorkers v) { setup_workers(m, std::move(v)); }

void assign_task_keys(TCDataCommunication& m, KeyWorkers kvs) { m.balancer.assign_task_keys(kvs.entries); }
void clear_workers(TCDataCommunication& m) { m.balancer.clear_workers(); }

void set_lb_key_mask(TCDataCommunication& m, bool ns, bool meta, bool market, bool code, bool gran) {
  m.balancer.set_key_mask(qel::balance::key_mask(ns, meta, market, code, gran));
}

void update_clusters(TCDataCommunication& m, Dependencies dep, std::uint32_t total_workers) {
  m.balancer.update_clusters(dep.entries, total_workers);
}

std::vector<std::pair<StructValueKey, StructValue>> wild_tasks(const TCDataCommunication& m) {
  return qel::msg::wild_tasks(m);
}

std::vector<StructValueKey> wild_task_keys(const TCDataCommunication& m) { return qel::msg::wild_task_keys(m); }

// The pending rows change only once the result exists in Python: a failure
// on the way leaves the object as it was.
Ref worker_svm(TCDataCommunication& m) {
  qel::msg::WorkerSvm prepared = qel::msg::prepare_worker_svm(m);
  Ref dict(bind::ToPy<std::map<std::uint32_t, std::string>>::convert(prepared.bodies));
  if (!dict) throw bind::PythonErrorSet{};
  qel::msg::commit_worker_svm(m, std::move(prepared));
  return dict;
}

// ---- StructValueKey ---------------------------------------------------------

template <auto M>
constexpr auto key_get = &bind::get_member<M>;
template <auto M>
constexpr auto key_set = &bind::set_member<M>;

std::size_t key_hash(const StructValueKey& k) { return qel::balance::hash_value(k); }

// In the order of key_repr's fields.
using KeyState = bind::Fields<&StructValueKey::ns, &StructValueKey::meta_id, &StructValueKey::market,
                              &StructValueKey::code, &StructValueKey::granularity>;

Ref key_repr(const StructValueKey& k) {
  Ref market(bind::ToPy<std::string>::convert(k.market));
  Ref code(bind::ToPy<std::string>::convert(k.code));
  if (!market || !code) throw bind::PythonErrorSet{};
  Ref text(PyUnicode_FromFormat("StructValueKey(ns=%u, meta_id=%u, market=%R, code=%R, granularity=%u)",
                                static_cast<unsigned>(k.ns), static_cast<unsigned>(k.meta_id), market.get(),
                                code.get(), static_cast<unsigned>(k.granularity)));
  if (!text) throw bind::PythonErrorSet{};
  return text;
}

bind::Ref data_arrow(const TCDataCommunication& m, bind::Object) {
  return arrow_capsule(m.catalog, qel::msg::stored_rows(m.batches));
}

}  // namespace

const bool kDefined[] = {
    bind::define(
        "TCDataCommunication",
        "Rows exchanged with calculator workers, keyed by (namespace, meta id), and the load balancer that splits "
        "them per worker. Accepts arbitrary attributes.",
        [](Message<TCDataCommunication>& cls) {
          compressor(cls, "Keeps the serializer's current catalog for decode_to_json and worker_svm.")
              .method<&set_sva>("set_sva", {"ns", "meta_id", "data"}, "", "Replaces the rows of (ns, meta_id).")
              .method<&data_arrow>("__arrow_c_stream__", {"requested_schema=None"}, "__arrow_c_stream__: ",
                                   kArrowStreamDoc)
              .method<&get_sva>("get_sva", {"ns", "meta_id"}, "", "Copies of the rows of (ns, meta_id); [] if absent.")
              .method<&keys>("keys", {}, "", "The (ns, meta_id) keys present, ascending.")
              .method<&all_rows>("all", {}, "", "Copies of every row, key by key in ascending order.")
              .method<&reset>("reset", {}, "", "Removes every batch.")
              .method<&encode_string>("encode_string", {"compressor"}, "",
                                      "The body of every row, compressed with the serializer's catalog.")
              .method<&qel::msg::decode_data>("decode_string", {"data", "compressor"}, "",
                                              "Replaces prefix and rows with the body's and keeps the serializer's "
                                              "catalog; a failure changes nothing.")
              .method<&decode_to_json>("decode_to_json", {"data"}, "",
                                       "The body rendered as JSON through the kept catalog; the object is "
                                       "not changed.")
              .method<&set_lb_key_mask>("set_lb_key_mask", {"ns", "meta", "market", "code", "gran"}, "",
                                        "Which fields of a row make its task key.")
              .method<&setup_workers>("setup_workers", {"wks"}, "", "Replaces workers by {StructValueKey: workers}.")
              .method<&assign_task_keys>("assign_task_keys", {"kvs"}, "",
                                         "Sets the workers of each key given; other keys stay.")
              .method<&clear_workers>("clear_workers", {}, "", "Forgets every key's workers.")
              .method<&wild_tasks>("wild_tasks", {}, "", "(task key, row) of each stored row whose key has no worker.")
              .method<&wild_task_keys>("wild_task_keys", {}, "", "The distinct task keys without a worker, ascending.")
              .method<&update_clusters>("update_clusters", {"dep", "total_workers"}, "",
                                        "Gives each unowned key of dep, and its dependents, to the least-burdened "
                                        "worker.")
              .method<&worker_svm>("worker_svm", {}, "",
                                   "{worker: body} of the stored and pending rows; rows without a worker wait for the "
                                   "next call.")
              .property<&get_disable_load_balance, &set_disable_load_balance>("disable_load_balance",
                                                                               "Sends every row to worker 1.")
              .property<&get_dynamic_load_balance, &set_dynamic_load_balance>("dynamic_load_balance",
                                                                               "Kept for the caller.")
              .property<&get_workers, &set_workers>("workers", "{StructValueKey: set of worker numbers}.")
              .instance_dict();
        }),
    bind::define(
        "StructValueKey",
        "A calculator task key: ns, meta_id, market, code, granularity. Hashable and "
        "ordered field by field.",
        [](Class<StructValueKey>& c) {
          c.property<key_get<&StructValueKey::ns>, key_set<&StructValueKey::ns>>("ns")
              .property<key_get<&StructValueKey::meta_id>, key_set<&StructValueKey::meta_id>>("meta_id")
              .property<key_get<&StructValueKey::market>, key_set<&StructValueKey::market>>("market")
              .property<key_get<&StructValueKey::code>, key_set<&StructValueKey::code>>("code")
              .property<key_get<&StructValueKey::granularity>, key_set<&StructValueKey::granularity>>("granularity")
              .hash<&key_hash>()
              .ordered()
              .repr<&key_repr>()
              .picklable<KeyState>();
        }),
};

}  // namespace pyostrel
