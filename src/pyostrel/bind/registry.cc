// The class definitions, filled while the extension's static objects are initialised.
#include "pyostrel/bind/registry.h"

#include <map>
#include <string>
#include <string_view>
#include <typeindex>

#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/function.h"

namespace pyostrel::bind {
namespace {

struct Definition {
  MakeClass make = nullptr;
  const char* doc = nullptr;
  PyTypeObject* type = nullptr;  // once built, kept for the process
  bool twice = false;
};

// Constructed on first use: definitions come from other files' initialisers, in no set order.
std::map<std::string_view, Definition>& definitions() noexcept {
  static std::map<std::string_view, Definition> map;
  return map;
}
struct Native {
  const char* name = nullptr;
  bool twice = false;
};
std::map<std::type_index, Native>& natives() noexcept {
  static std::map<std::type_index, Native> map;
  return map;
}

}  // namespace

bool define_class(const char* name, const char* doc, MakeClass make, const std::type_info* native) noexcept {
  try {
    Definition& d = definitions()[name];
    d.twice = d.make != nullptr;
    d.make = make;
    d.doc = doc;
    if (native) {
      Native& n = natives()[std::type_index(*native)];
      if (n.name) n.twice = d.twice = true;  // both classes would claim the type's conversions
      n.name = name;
    }
  } catch (...) {
    return false;  // out of memory while loading: add_class reports the class as undefined
  }
  return true;
}

const char* class_name_of(const std::type_info& native) noexcept {
  const auto found = natives().find(std::type_index(native));
  return found == natives().end() || found->second.twice ? nullptr : found->second.name;
}

bool add_class(PyObject* module, const char* name) noexcept {
  const auto found = definitions().find(name);
  try {
    if (found == definitions().end() || found->second.twice) {
      throw qel::InternalError(std::string("class ") + name +
                               (found == definitions().end() ? " is not defined" : " is defined twice"));
    }
    Definition& d = found->second;
    if (!d.type) d.type = d.make(name, d.doc);
    PyTypeObject* type = d.type;
    if (!type) return false;
    constexpr std::string_view kPrefix = "pyostrel.";
    if (std::string_view(type->tp_name) != std::string(kPrefix) + name) {
      throw qel::InternalError(std::string("class ") + name + " builds " + type->tp_name);
    }
    return add_type(module, type);
  } catch (...) {
    set_python_error("");
    return false;
  }
}

}  // namespace pyostrel::bind
