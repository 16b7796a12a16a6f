// Any byte string: parse_ff fails with InvalidImage, or its sections hold no more data than
// the file had, each write section is a copy of bytes of the file, and no two writes that
// follow each other are contiguous (they would have been merged).
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "velk/src/device/dsp/ff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::dsp;
  auto sections = parse_ff({data, size});
  if (!sections) {
    if (sections.error().kind() != velk::ErrorKind::InvalidImage) std::abort();
    return 0;
  }
  std::size_t written = 0;
  const WriteSection* previous = nullptr;
  for (const FfSection& s : *sections) {
    if (const auto* w = std::get_if<WriteSection>(&s)) {
      written += w->data.size();
      if (previous && std::uint64_t{previous->address} + previous->data.size() == w->address)
        std::abort();
      previous = w;
    } else {
      previous = nullptr;
    }
  }
  if (written > size) std::abort();
  return 0;
}
