// The exported functions of DSP mode: flashing, writing and reading the DSP memory.
#include "velk.h"
#include "velk/src/c/guard.h"

using velk::ErrorKind;
using velk::Result;
using velk::Status;

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_dsp(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn /*progress*/) {
  if (image == nullptr && length != 0) return velk::reject_null(handle, "image");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_flash_dsp"); });
}

VELK_API int32_t VELK_CALL velk_write_dsp(velk_handle handle, uint32_t /*address*/, const uint8_t* data,
                                          uint32_t length, velk_progress_fn /*progress*/) {
  if (data == nullptr && length != 0) return velk::reject_null(handle, "data");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_write_dsp"); });
}

VELK_API int32_t VELK_CALL velk_read_dsp(velk_handle handle, uint32_t /*address*/, uint8_t* buffer, uint32_t length,
                                         velk_progress_fn /*progress*/) {
  if (buffer == nullptr && length != 0) return velk::reject_null(handle, "buffer");
  return velk::with_handle(handle, [](velk::DeviceConnection&) { return velk::not_available("velk_read_dsp"); });
}

}  // extern "C"
