// The process-wide libusb context and HID initialisation, created once on first need. The
// outcome of that creation, the context or the error, is kept for the life of the process.
#pragma once

#include <libusb.h>

#include "velk/src/c/error.h"

namespace velk {

class LibraryContext {
 public:
  // The shared context, or the error its creation gave (never retried).
  static Result<const LibraryContext*> get();

  libusb_context* usb() const { return usb_; }

 private:
  explicit LibraryContext(libusb_context* usb) : usb_(usb) {}
  libusb_context* usb_;
};

}  // namespace velk
