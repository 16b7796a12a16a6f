// Any byte string: check_loader_image answers without reading outside the buffer.
#include "velk/src/device/dsp/loader_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)velk::dsp::check_loader_image({data, size});
  return 0;
}
