// One whole operation through the C interface against a hostile Vexo. Input: the operation
// (byte 0), the mode the device starts in (byte 1), then everything the device answers from
// then on (the script format of sim/vexo/hostile.h). The device is opened while it still
// behaves; then it answers only from the script, while the model still hears the host, so
// restarts and mode switches happen as they would.
//
// Every call returns, with its success value or a code the operation can give for a device's
// fault, and writes exactly one error record when it fails (velk_status none ever).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/support/ff_builder.h"
#include "velk.h"
#include "velk/src/c/log.h"
#include "velk/src/device/dfu/dfu_file.h"

namespace {

using sim::vexo::Mode;

// A device's fault, whatever the operation: libusb, hidapi, enumeration, wrong answers,
// spurious events, timeout. Host errors, invalid images and internal errors are bugs here.
const std::set<int> kDeviceFaults{-65534, -65533, -65531, -65530, -65529, -65527};

// A file of this process's own in the temporary folder.
std::string temp_path(const char* what) {
  return (std::filesystem::temp_directory_path() /
          ("velk-fuzz-" + std::to_string(::getpid()) + "-" + what))
      .string();
}

// The log of errors only, set up at the first input and removed at exit.
const std::string& log_path() {
  static const std::string path = [] {
    std::string p = temp_path("operation.log");
    if (velk_init(p.c_str(), 1) != 0) std::abort();
    std::atexit([] { std::remove(log_path().c_str()); });
    return p;
  }();
  return path;
}

std::size_t error_records() {
  std::ifstream in(log_path(), std::ios::binary);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    n += velk::log::error_record_message(line).has_value();
  }
  return n;
}

std::vector<std::uint8_t> dfu_image() {
  std::vector<std::uint8_t> file(100, 0x5A);
  velk::dfu::append_dfu_suffix(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct, 0x0102);
  return file;
}

void progress(std::uint64_t done, std::uint64_t total) {
  if (done > total) std::abort();
}

// Runs the operation and returns its code, 0 also for one that succeeded with a value.
std::int32_t run(std::uint8_t op, velk_handle h) {
  static const std::vector<std::uint8_t> kDfuFile = dfu_image();
  static const std::string kXuv = "@000000 1234\n@000001 5678\n";
  static const std::vector<std::uint8_t> kFf =
      velk::testing::ff_image({velk::testing::ff_data(0x20000, std::vector<std::uint8_t>(16, 7))});
  std::uint16_t words[4] = {1, 2, 3, 4};
  std::uint8_t bytes[16] = {};
  switch (op % 11) {
    case 0: {
      const std::int32_t mode = velk_status(h);
      if (mode < 0 || mode > 4) std::abort();
      return 0;
    }
    case 1:
      return velk_reset(h);
    case 2: {
      const std::int32_t n = velk_read_pskey(h, 0x0100, words, 4);
      if (n > 4) std::abort();
      return n >= 0 ? 0 : n;
    }
    case 3:
      return velk_write_pskey(h, 0x0100, words, 4);
    case 4:
      return velk_clear_pskey(h, 0x0100);
    case 5:
      return velk_flash_btm(h, kDfuFile.data(), static_cast<std::uint32_t>(kDfuFile.size()),
                            progress);
    case 6: {
      const std::string path = temp_path("dump.dfu");
      const std::int32_t code = velk_dump_btm(h, path.c_str(), progress);
      std::remove(path.c_str());
      return code;
    }
    case 7:
      return velk_flash_sqif(h, reinterpret_cast<const std::uint8_t*>(kXuv.data()),
                             static_cast<std::uint32_t>(kXuv.size()), progress);
    case 8:
      return velk_flash_dsp(h, kFf.data(), static_cast<std::uint32_t>(kFf.size()), progress);
    case 9:
      return velk_write_dsp(h, 0x20000, bytes, sizeof bytes, progress);
    default:
      return velk_read_dsp(h, 0x20000, bytes, sizeof bytes, progress);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string& log = log_path();
  sim::reset();
  constexpr Mode kModes[] = {Mode::Btm, Mode::Dfu, Mode::Sqif, Mode::Dsp};
  auto vexo = sim::vexo::Vexo::plug({.mode = kModes[data[1] % 4]});
  vexo->btm_firmware().assign(300, 0x3C);
  velk_handle h = velk_open();
  if (h == nullptr) std::abort();

  sim::vexo::HostileAnswers script({data + 2, size - 2});
  vexo->faults().hostile = &script;
  if (::truncate(log.c_str(), 0) != 0) std::abort();
  const std::int32_t code = run(data[0], h);
  const std::size_t errors = error_records();
  velk_close(h);
  vexo->faults().hostile = nullptr;

  if (code == 0) {
    if (errors != 0) std::abort();
  } else {
    // A key's value longer than the host's buffer is the host's error, found after the read.
    const bool buffer_too_small = data[0] % 11 == 2 && code == -65532;
    if (!kDeviceFaults.contains(code) && !buffer_too_small) std::abort();
    if (errors != 1) std::abort();
  }
  return 0;
}
