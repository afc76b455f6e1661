// The calculator's lifecycle bodies.
#include "qel/msg/calculator_lifecycle.h"

#include "qel/msg/record_json.h"

namespace qel::msg {

std::string initialize_json(const TCInitialize& m) { return record_json(m); }

}  // namespace qel::msg
