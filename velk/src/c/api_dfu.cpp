// The exported functions of DFU mode: flashing and dumping the Bluetooth-module firmware.
#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/util/utf8.h"

using velk::ErrorKind;
using velk::Result;
using velk::Status;

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_btm(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_flash_btm"); });
}

VELK_API int32_t VELK_CALL velk_dump_btm(velk_handle handle, const char* path, velk_progress_fn /*progress*/) {
  // A path that is not UTF-8 is refused before the device is touched, without a log record.
  if (path == nullptr || !velk::is_utf8(path)) return -65532;
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_dump_btm"); });
}

}  // extern "C"
