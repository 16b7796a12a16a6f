// The exported function of SQIF mode: flashing the serial flash.
#include "velk.h"
#include "velk/src/c/guard.h"

using velk::ErrorKind;
using velk::Result;
using velk::Status;

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_sqif(velk_handle handle, const uint8_t* image, uint32_t length,
                                           velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_flash_sqif"); });
}

}  // extern "C"
