// The prefixes every trading-server body begins with.
#include "qel/msg/envelope.h"

namespace qel::msg {

void read_base_response_fieldwise(wire::Reader& r, BaseResponse& out) {
  if (try_read(r, out.seq) && try_read(r, out.status) && try_read(r, out.error_code)) try_read(r, out.error_msg);
}

}  // namespace qel::msg
