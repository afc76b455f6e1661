// StructValue: the typed row record (header plus typed field slots).
#include "qel/rows/struct_value.h"

namespace qel::rows {

std::string_view data_type_name(DataType t) noexcept {
  static constexpr std::string_view kNames[] = {"Empty",   "Int",     "Double", "String", "VInt",
                                                "VDouble", "VString", "Int64",  "VInt64"};
  const auto i = static_cast<std::size_t>(t);
  return i < std::size(kNames) ? kNames[i] : "Unknown";
}

const FieldValue& StructValue::slot(std::size_t pos) const {
  if (pos >= fields.size()) {
    throw Error("Invalid field length " + std::to_string(fields.size()) + " (pos " + std::to_string(pos) + ")");
  }
  return fields[pos];
}

FieldValue& StructValue::slot(std::size_t pos) {
  return const_cast<FieldValue&>(static_cast<const StructValue&>(*this).slot(pos));
}

void StructValue::throw_wrong_type(std::size_t pos, std::string_view kind, DataType actual) {
  throw Error("field " + std::to_string(pos) + " is not " + std::string(kind) + " (is " +
              std::string(data_type_name(actual)) + ")");
}

}  // namespace qel::rows
