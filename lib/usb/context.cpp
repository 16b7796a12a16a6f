#include "lib/usb/context.h"

#include <optional>

#include "lib/hid/src/manager/hid.h"
#include "lib/usb/usb.h"

namespace velk {
namespace {

struct Outcome {
  const LibraryContext* context = nullptr;
  std::optional<Error> error;
};

}  // namespace

Result<const LibraryContext*> LibraryContext::get() {
  // Created once, under the thread-safe initialisation of a function-local static, and never
  // discarded: it lives until the process ends.
  static const Outcome outcome = []() -> Outcome {
    libusb_context* usb = nullptr;
    if (int code = libusb_init(&usb); code < 0) return {nullptr, Error(usb_error_from_code(code))};
    if (auto hid = hid::HidManager::init(); !hid) {
      libusb_exit(usb);
      return {nullptr, std::move(hid.error())};
    }
    return {new LibraryContext(usb), std::nullopt};
  }();
  if (outcome.error) {
    return std::unexpected<Error>(outcome.error->clone());  // each caller gets its own copy
  }
  return outcome.context;
}

}  // namespace velk
