// The exported function of SQIF mode: flashing the serial flash.
#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/device/progress.h"
#include "velk/src/device/sqif/sqif_flash.h"

using velk::Result;

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_sqif(velk_handle handle, const uint8_t* image,
                                           uint32_t length, velk_progress_fn progress) {
  if (image == nullptr && length != 0) return velk::reject_null("image");
  const std::span<const std::uint8_t> xuv(image, length);
  return velk::with_handle(handle, [&](velk::DeviceConnection& connection) -> Result<std::int32_t> {
    VELK_TRY(connection.ensure_sqif());
    VELK_TRY(velk::sqif::flash_sqif(connection.sqif(), xuv, velk::Progress(progress)));
    // Only a finished flash restarts the device; after a failure it stays with the loader.
    return velk::done(connection.reset());
  });
}

}  // extern "C"
