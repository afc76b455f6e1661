// Python classes of the storage-master client's records: KestrinConfig and
// KestrinStructValueKey, whose fields are properties.

#include <string_view>

#include "pyostrel/bind/class.h"
#include "pyostrel/bind/state.h"
#include "qel/storage/client_config.h"

namespace pyostrel {
namespace {

using bind::Blob;
using bind::Class;
using bind::get_member;
using bind::set_member;
using qel::storage::KestrinConfig;
using qel::storage::KestrinStructValueKey;

// A property over data member M: reads copy it out, writes convert the whole
// value before replacing it.
template <auto M, class T>
Class<T>& field(Class<T>& c, const char* name, const char* doc) {
  return c.template property<&get_member<M>, &set_member<M>>(name, doc);
}

// Text that is not JSON is not reported (the caller keeps its configuration).
void load_from_json(KestrinConfig& c, Blob file_path) {
  c.load_from_json({reinterpret_cast<const char*>(file_path.bytes.data()), file_path.bytes.size()});
}

// States and reprs in the order of the properties' names.
using ConfigState = bind::Fields<&KestrinConfig::log_path, &KestrinConfig::masters,
                                 &KestrinConfig::singularity_alike_markets>;
constexpr const char* kConfigNames[] = {"log_path", "masters", "singularity_alike_markets"};

bind::Ref config_repr(const KestrinConfig& c) {
  return bind::fields_repr<ConfigState>("KestrinConfig", c, kConfigNames);
}

using K = KestrinStructValueKey;
using KeyState = bind::Fields<&K::ns, &K::meta_name, &K::revision, &K::granularity, &K::from_tm, &K::to_tm,
                              &K::markets, &K::symbols, &K::mask, &K::wait_io_completion>;
constexpr const char* kKeyNames[] = {"ns",    "meta_name", "revision", "granularity", "from_tm",
                                     "to_tm", "markets",   "symbols",  "mask",        "wait_io_completion"};

bind::Ref key_repr(const K& k) { return bind::fields_repr<KeyState>("KestrinStructValueKey", k, kKeyNames); }

}  // namespace

const bool kDefined[] = {
    bind::define(
        "KestrinConfig", "Storage-master client configuration: masters, log path, singularity-alike markets.",
        [](Class<KestrinConfig>& c) {
          field<&KestrinConfig::log_path>(c, "log_path", "bytes");
          field<&KestrinConfig::masters>(c, "masters", "[(host bytes, port int)], in connection order.");
          field<&KestrinConfig::singularity_alike_markets>(c, "singularity_alike_markets", "[bytes]");
          c.picklable<ConfigState>().repr<&config_repr>().method<&load_from_json>(
              "load_from_json", {"file_path"}, "",
              "Loads the JSON file's \"log_path\", \"masters\" and \"singularity_markets\": all "
              "of them or, when an entry is refused, none. A file that is not JSON changes nothing.");
        }),
    bind::define("KestrinStructValueKey", "One fetch from the storage masters.", [](Class<K>& c) {
      field<&K::ns>(c, "ns", "u16");
      field<&K::meta_name>(c, "meta_name", "bytes");
      field<&K::revision>(c, "revision", "u32; 0xFFFFFFFF for the latest");
      field<&K::granularity>(c, "granularity", "u32");
      field<&K::from_tm>(c, "from_tm", "u64");
      field<&K::to_tm>(c, "to_tm", "u64");
      field<&K::markets>(c, "markets", "[bytes]");
      field<&K::symbols>(c, "symbols", "[bytes]");
      field<&K::mask>(c, "mask", "i16");
      field<&K::wait_io_completion>(c, "wait_io_completion", "bool");
      c.picklable<KeyState>().repr<&key_repr>();
    }),
};

}  // namespace pyostrel
