// Any byte string: parse_xuv either fails with InvalidImage or returns a whole number of words
// within the image cap.
#include <cstdlib>

#include "velk/src/device/sqif/xuv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::sqif;
  auto image = parse_xuv({data, size});
  if (image) {
    if (image->size() % 2 != 0 || image->size() > kMaxXuvImageSize) std::abort();
  } else if (image.error().kind() != velk::ErrorKind::InvalidImage) {
    std::abort();
  }
  return 0;
}
