// The exported functions of DFU mode: flashing and dumping the Bluetooth-module firmware.
#include <span>

#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/c/platform.h"
#include "velk/src/device/dfu/dfu_transfer.h"
#include "velk/src/device/progress.h"
#include "velk/src/util/utf8.h"

namespace {

// A dump path that is not UTF-8, or a dump file that cannot be written, has this code and no
// Error, and so no log record.
constexpr std::int32_t kDumpFileFailure = -65532;

}  // namespace

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_btm(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn progress) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(
      handle, [&](velk::DeviceConnection& connection) -> velk::Result<std::int32_t> {
        VELK_TRY(connection.ensure_dfu());
        VELK_TRY(velk::dfu::download(connection.dfu(), std::span(image, length),
                                     velk::Progress(progress)));
        // After a failed download the device stays in DFU mode; only success restarts it.
        return velk::done(connection.reset());
      });
}

VELK_API int32_t VELK_CALL velk_dump_btm(velk_handle handle, const char* path,
                                         velk_progress_fn progress) {
  // A path that is not UTF-8 is refused before the device is touched, without a log record.
  if (path == nullptr || !velk::is_utf8(path)) return kDumpFileFailure;
  return velk::with_handle(
      handle, [&](velk::DeviceConnection& connection) -> velk::Result<std::int32_t> {
        VELK_TRY(connection.ensure_dfu());
        auto uploaded = velk::dfu::upload(connection.dfu(), velk::Progress(progress));
        // The device leaves DFU mode whatever the upload did; a failed restart is the worse news.
        VELK_TRY(connection.reset());
        if (!uploaded) return std::unexpected(std::move(uploaded.error()));
        // The file is replaced whole or not at all, so a failed write never leaves half an image.
        if (!velk::platform::replace_file(path, *uploaded)) return kDumpFileFailure;
        return 0;
      });
}

}  // extern "C"
