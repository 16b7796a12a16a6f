// Writes or checks the image that the "vexo-dfu-firmware" loader holds, for the dfu-util checks:
//   dfu_sample_image write <file>   the image, to be given a suffix and downloaded
//   dfu_sample_image check <file>   exit status 0 when the file holds exactly that image
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>

#include "sim/vexo/dfu_mode.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s write|check <file>\n", argv[0]);
    return 2;
  }
  const std::string_view command = argv[1];
  const sim::Bytes image = sim::vexo::sample_firmware();
  if (command == "write") {
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    return out ? 0 : 1;
  }
  if (command == "check") {
    std::ifstream in(argv[2], std::ios::binary);
    const sim::Bytes read(std::istreambuf_iterator<char>(in), {});
    if (read == image) return 0;
    std::fprintf(stderr, "%s: %zu bytes, not the %zu-byte sample image\n", argv[2], read.size(),
                 image.size());
    return 1;
  }
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
