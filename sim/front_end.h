// What the libusb and hidapi front ends share: every call becomes one Request, recorded on the
// bus with the result the caller sees.
#pragma once

#include <utility>

#include "sim/bus.h"

namespace sim {

// A request to the model behind a handle or device object (anything with an `attachment`).
template <class Object>
Request request(RequestKind kind, const Object* object, const Device* model) {
  Request r;
  r.kind = kind;
  r.device = model;
  r.attachment = object ? object->attachment : 0;
  return r;
}

// Records the request and passes its result on to the caller.
inline int finish(Request r, int result, bool faulted = false) {
  r.result = result;
  r.faulted = faulted;
  bus().record(std::move(r));
  return result;
}

}  // namespace sim
