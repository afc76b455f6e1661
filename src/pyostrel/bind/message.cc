// Message classes from their declarations: the parts that do not depend on a type.
#include "pyostrel/bind/message.h"

namespace pyostrel::bind {

const char* field_doc(const char* verb, const std::string& kind, const char* name) {
  std::string doc = verb;
  doc += " the ";
  doc += kind;
  doc += " field ";
  doc += name;
  doc += '.';
  return keep(std::move(doc));
}

}  // namespace pyostrel::bind
