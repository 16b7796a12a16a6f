// The exported functions of DSP mode: flashing, writing and reading the DSP memory.
#include "velk.h"
#include "velk/src/c/guard.h"
#include "velk/src/device/dsp/dsp_ops.h"

namespace {

using velk::DeviceConnection;
using velk::Progress;

// Runs the transfer on the device in DSP mode, in the frame of velk::in_mode.
template <class Transfer>
std::int32_t in_dsp_mode(velk_handle handle, Transfer&& transfer) {
  return velk::in_mode(handle, &DeviceConnection::ensure_dsp,
                       [&](DeviceConnection& connection) { return transfer(connection.dsp()); });
}

}  // namespace

extern "C" {

VELK_API int32_t VELK_CALL velk_flash_dsp(velk_handle handle, const uint8_t* image, uint32_t length,
                                          velk_progress_fn progress) {
  if (image == nullptr && length != 0) return velk::reject_null("image");
  return in_dsp_mode(handle, [&](velk::dsp::DspDevice& dsp) {
    return velk::dsp::flash_ff(dsp, std::span(image, length), Progress(progress));
  });
}

VELK_API int32_t VELK_CALL velk_write_dsp(velk_handle handle, uint32_t address, const uint8_t* data,
                                          uint32_t length, velk_progress_fn progress) {
  if (data == nullptr && length != 0) return velk::reject_null("data");
  return in_dsp_mode(handle, [&](velk::dsp::DspDevice& dsp) {
    return velk::dsp::write_dsp(dsp, address, std::span(data, length), Progress(progress));
  });
}

VELK_API int32_t VELK_CALL velk_read_dsp(velk_handle handle, uint32_t address, uint8_t* buffer,
                                         uint32_t length, velk_progress_fn progress) {
  if (buffer == nullptr && length != 0) return velk::reject_null("buffer");
  return in_dsp_mode(handle, [&](velk::dsp::DspDevice& dsp) {
    return velk::dsp::read_dsp(dsp, address, std::span(buffer, length), Progress(progress));
  });
}

}  // extern "C"
