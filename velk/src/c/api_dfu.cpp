// The exported functions of DFU mode: flashing and dumping the Bluetooth-module firmware.
#include <span>
#include <vector>

#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/c/platform.h"
#include "velk/src/device/dfu/dfu_transfer.h"
#include "velk/src/device/progress.h"
#include "velk/src/util/utf8.h"

namespace {

// The dump goes to a UTF-8 path; anything else is refused before the device is touched.
velk::Status check_dump_path(std::string_view path) {
  if (auto bad = velk::check_utf8(path)) {
    return velk::fail(velk::ErrorKind::InvalidArgument, "dump file path: {}",
                      velk::utf8_error_text(*bad));
  }
  return {};
}

}  // namespace

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_btm(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn progress) {
  if (image == nullptr && length != 0) return velk::reject_null("image");
  return velk::in_mode(handle, &velk::DeviceConnection::ensure_dfu,
                       [&](velk::DeviceConnection& connection) {
                         return velk::dfu::download(connection.dfu(), std::span(image, length),
                                                    velk::Progress(progress));
                       });
}

VELK_API int32_t VELK_CALL velk_dump_btm(velk_handle handle, const char* path,
                                         velk_progress_fn progress) {
  if (path == nullptr) return velk::reject_null("path");
  return velk::with_handle(
      handle, [&](velk::DeviceConnection& connection) -> velk::Result<std::int32_t> {
        VELK_TRY(check_dump_path(path));
        VELK_TRY(connection.ensure_dfu());
        auto uploaded = velk::dfu::upload(connection.dfu(), velk::Progress(progress));
        // Unlike in velk::in_mode, the device leaves DFU mode whatever the upload did; a failed
        // restart is the worse news.
        VELK_TRY(connection.reset());
        if (!uploaded) return std::unexpected(std::move(uploaded.error()));
        // The file is replaced whole or not at all, so a failed write never leaves half an image.
        const std::vector<std::span<const std::uint8_t>> pieces(uploaded->begin(), uploaded->end());
        return velk::done(velk::platform::replace_file(path, pieces));
      });
}

}  // extern "C"
