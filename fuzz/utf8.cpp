// Any byte string: the reported error is consistent. The prefix before it is valid and decodes
// to scalar values; the bad part is a maximal one: cut right after it, the buffer merely ends
// inside a sequence, unless the bad part is a single byte that starts none.
#include "velk/src/util/utf8.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const auto error = velk::check_utf8(bytes);
  const std::size_t valid = error ? error->valid_up_to : size;
  if (valid > size) std::abort();
  const auto prefix = bytes.first(valid);
  if (velk::check_utf8(prefix)) std::abort();
  for (std::size_t pos = 0; pos < prefix.size();) {
    const char32_t c = velk::decode_utf8(prefix, pos);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) std::abort();
  }
  if (error) {
    const std::size_t rest = size - valid;
    if (error->incomplete()) {
      // The whole rest is the start of one sequence.
      if (rest == 0 || rest > 3) std::abort();
    } else {
      if (error->error_len < 1 || error->error_len > 3 || error->error_len > rest) std::abort();
      const auto cut = velk::check_utf8(bytes.first(valid + error->error_len));
      if (!cut || cut->valid_up_to != valid) std::abort();
      if (!cut->incomplete() && !(error->error_len == 1 && cut->error_len == 1)) std::abort();
    }
  }
  return 0;
}
