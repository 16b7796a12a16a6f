// The exported functions: the guard around every call, the handle's lock and poisoned flag,
// and the turning of each outcome into a result code.
#include <memory>
#include <mutex>
#include <span>

#include "velk.h"
#include "velk/src/c/error.h"
#include "velk/src/c/guard.h"
#include "velk/src/c/log.h"
#include "velk/src/device/btm/pskey.h"
#include "velk/src/device/connection.h"

using velk::Result;

extern "C" {

VELK_API int32_t VELK_CALL velk_init(const char* log_path, uint32_t level) {
  return velk::guarded([&] {
    // A failed set-up leaves no log to write its reason to: the code alone tells it.
    const velk::Status status = velk::log::setup(log_path, level);
    return status ? 0 : status.error().code();
  });
}

VELK_API velk_handle VELK_CALL velk_open(void) {
  velk_handle handle = nullptr;
  (void)velk::guarded([&] {
    auto context = velk::LibraryContext::get();
    if (!context) {
      VELK_ERROR(velk::kCTarget, "failed to initialize library: {}", context.error().debug());
      return 0;
    }
    auto device = std::make_unique<velk_device>(**context);
    if (auto connected = device->connection.connect(/*wait=*/false); !connected) {
      (void)velk::report(connected.error());  // a null handle is all the host gets
      return 0;                               // dropping the connection releases whatever it opened
    }
    handle = device.release();
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
  return velk::with_handle(handle, [](velk::DeviceConnection& c) { return velk::done(c.reset()); });
}

VELK_API int32_t VELK_CALL velk_status(velk_handle handle) {
  return velk::with_handle(
      handle, [](velk::DeviceConnection& c) -> Result<std::int32_t> { return c.status(); });
}

VELK_API int32_t VELK_CALL velk_read_pskey(velk_handle handle, uint16_t key, uint16_t* buffer,
                                           uint32_t capacity) {
  if (buffer == nullptr && capacity != 0) return velk::reject_null("buffer");
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    VELK_TRY_ASSIGN(count, velk::btm::read_pskey(c.btm(), key, std::span(buffer, capacity)));
    return static_cast<std::int32_t>(count);
  });
}

VELK_API int32_t VELK_CALL velk_write_pskey(velk_handle handle, uint16_t key,
                                            const uint16_t* values, uint32_t count) {
  if (values == nullptr && count != 0) return velk::reject_null("values");
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    return velk::done(velk::btm::write_pskey(c.btm(), key, std::span(values, count)));
  });
}

VELK_API int32_t VELK_CALL velk_clear_pskey(velk_handle handle, uint16_t key) {
  return velk::with_handle(handle, [&](velk::DeviceConnection& c) -> Result<std::int32_t> {
    VELK_TRY(c.ensure_btm());
    return velk::done(velk::btm::clear_pskey(c.btm(), key));
  });
}

}  // extern "C"
