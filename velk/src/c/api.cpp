// The exported functions: the guard around every call, the handle's lock and poisoned flag,
// and the turning of each outcome into a result code.
#include <mutex>
#include <span>

#include "velk.h"
#include "velk/src/c/error.h"
#include "velk/src/c/guard.h"
#include "velk/src/c/log.h"
#include "velk/src/device/btm/pskey.h"
#include "velk/src/device/connection.h"
#include "velk/src/util/utf8.h"

using velk::ErrorKind;
using velk::Result;
using velk::Status;

namespace {

constexpr std::int32_t kInvalidArgument = -65532;

// Present in this build's interface; the operation behind it comes with its mode's support.
Result<std::int32_t> not_available(const char* what) {
  return velk::fail(ErrorKind::InternalError, "{} is not available in this build", what);
}

Result<std::int32_t> done(Status status) {
  if (!status) return std::unexpected(std::move(status.error()));
  return 0;
}

}  // namespace

extern "C" {

VELK_API int32_t VELK_CALL velk_init(const char* log_path, uint32_t level) {
  return velk::guarded([&] { return velk::log::setup(log_path, level); });
}

VELK_API velk_handle VELK_CALL velk_open(void) {
  velk_handle handle = nullptr;
  (void)velk::guarded([&] {
    auto context = velk::LibraryContext::get();
    if (!context) {
      VELK_ERROR("velk::c", "failed to initialize library: {}", context.error().debug());
      return 0;
    }
    velk::DeviceConnection connection(**context);
    if (auto connected = connection.connect(/*wait=*/false); !connected) {
      VELK_ERROR("velk::c", "{}", connected.error().display());
      return 0;
    }
    handle = new velk_device(std::move(connection));
    return 0;
  });
  return handle;
}

VELK_API void VELK_CALL velk_close(velk_handle handle) {
  (void)velk::guarded([&] {
    delete handle;
    return 0;
  });
}

VELK_API int32_t VELK_CALL velk_reset(velk_handle handle) {
  return velk::with_handle(handle, [](velk::DeviceConnection& c) { return done(c.reset()); });
}

VELK_API int32_t VELK_CALL velk_status(velk_handle handle) {
  return velk::with_handle(handle, [](velk::DeviceConnection& c) -> Result<std::int32_t> { return c.status(); });
}

VELK_API int32_t VELK_CALL velk_read_pskey(velk_handle handle, uint16_t key, uint16_t* buffer, uint32_t capacity) {
  if (buffer == nullptr && capacity != 0) return velk::reject_null(handle, "buffer");
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    VELK_TRY_ASSIGN(count, velk::btm::read_pskey(c.btm(), key, std::span(buffer, capacity)));
    return static_cast<std::int32_t>(count);
  });
}

VELK_API int32_t VELK_CALL velk_write_pskey(velk_handle handle, uint16_t key, const uint16_t* values, uint32_t count) {
  if (values == nullptr && count != 0) return velk::reject_null(handle, "values");
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    return done(velk::btm::write_pskey(c.btm(), key, std::span(values, count)));
  });
}

VELK_API int32_t VELK_CALL velk_clear_pskey(velk_handle handle, uint16_t key) {
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    return done(velk::btm::clear_pskey(c.btm(), key));
  });
}

VELK_API int32_t VELK_CALL velk_flash_btm(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_flash_btm"); });
}

VELK_API int32_t VELK_CALL velk_dump_btm(velk_handle handle, const char* path, velk_progress_fn /*progress*/) {
  // A path that is not UTF-8 is refused before the device is touched, without a log record.
  if (path == nullptr || !velk::is_utf8(path)) return kInvalidArgument;
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_dump_btm"); });
}

VELK_API int32_t VELK_CALL velk_flash_sqif(velk_handle handle, const uint8_t* image, uint32_t length,
                                           velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_flash_sqif"); });
}

VELK_API int32_t VELK_CALL velk_flash_dsp(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_flash_dsp"); });
}

VELK_API int32_t VELK_CALL velk_write_dsp(velk_handle handle, uint32_t /*address*/, const uint8_t* data,
                                          uint32_t length, velk_progress_fn /*progress*/) {
  if (data == nullptr && length != 0) return velk::reject_null(handle, "data");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_write_dsp"); });
}

VELK_API int32_t VELK_CALL velk_read_dsp(velk_handle handle, uint32_t /*address*/, uint8_t* buffer, uint32_t length,
                                         velk_progress_fn /*progress*/) {
  if (buffer == nullptr && length != 0) return velk::reject_null(handle, "buffer");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return not_available("velk_read_dsp"); });
}

}  // extern "C"
