// The exported function of SQIF mode: flashing the serial flash.
#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/device/progress.h"
#include "velk/src/device/sqif/sqif_flash.h"

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_sqif(velk_handle handle, const uint8_t* image,
                                           uint32_t length, velk_progress_fn progress) {
  if (image == nullptr && length != 0) return velk::reject_null("image");
  return velk::in_mode(handle, &velk::DeviceConnection::ensure_sqif,
                       [&](velk::DeviceConnection& connection) {
                         return velk::sqif::flash_sqif(connection.sqif(), std::span(image, length),
                                                       velk::Progress(progress));
                       });
}

}  // extern "C"
