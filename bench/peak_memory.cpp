// Peak heap of the codecs on the largest image of each format: how much memory a call holds at
// its worst beyond its input, against the size of what it returns. Every allocation of the
// process goes through the counting operator new below.
//
//   peak_memory            prints a Markdown table
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "lib/usb/usb.h"
#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/support/ff_builder.h"
#include "velk/src/device/dfu/dfu_device.h"
#include "velk/src/device/dfu/dfu_file.h"
#include "velk/src/device/dfu/dfu_transfer.h"
#include "velk/src/device/dsp/ff.h"
#include "velk/src/device/sqif/xuv.h"

namespace {

std::size_t heap_now = 0;
std::size_t heap_peak = 0;

// Each block carries its size in front, so that delete can count it off.
constexpr std::size_t kHeader = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) {
  auto* block = static_cast<unsigned char*>(std::malloc(n + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = n;
  heap_now += n;
  heap_peak = std::max(heap_peak, heap_now);
  return block + kHeader;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  heap_now -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string size_text(std::size_t n) {
  if (n < (std::size_t{1} << 20)) return std::to_string(n) + " bytes";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(n) / (1 << 20));
  return text;
}

// Runs `call` and prints the most heap it held at once beyond what was held before it, next to
// the size of its input and of what it returns.
void report(const char* what, std::size_t input, const std::function<std::size_t()>& call) {
  const std::size_t before = heap_now;
  heap_peak = heap_now;
  const std::size_t result = call();
  const std::size_t peak = heap_peak - before;
  char ratio[16] = "-";
  if (result != 0) std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(peak) / result);
  std::printf("| %s | %s | %s | %s | %s |\n", what, size_text(input).c_str(),
              size_text(result).c_str(), size_text(peak).c_str(), ratio);
  std::fflush(stdout);
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Every word up to the 64 MiB cap, one "@address value" line each, as the flash tools write
// them (7 address digits are needed past 0xFFFFFF).
std::string dense_xuv() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint32_t words = velk::sqif::kMaxXuvImageSize / 2;
  std::string text(std::size_t{words} * 15, '\0');
  char* out = text.data();
  for (std::uint32_t a = 0; a < words; ++a) {
    const std::uint32_t v = (a * 7919U) & 0xFFFF;
    *out++ = '@';
    for (int shift = 24; shift >= 0; shift -= 4) *out++ = kDigits[(a >> shift) & 0xF];
    *out++ = ' ';
    for (int shift = 12; shift >= 0; shift -= 4) *out++ = kDigits[(v >> shift) & 0xF];
    *out++ = '\r';
    *out++ = '\n';
  }
  return text;
}

// The whole 4 MiB DSP flash: one erase, then 1 KiB data records, each under a CRC record.
Bytes whole_flash_ff() {
  constexpr std::uint32_t kFlash = 4u << 20;
  constexpr std::uint32_t kRecord = 1024;
  Bytes file = velk::testing::ff_image({velk::testing::ff_erase(0, kFlash)});
  for (std::uint32_t at = 0; at < kFlash; at += kRecord) {
    Bytes body(kRecord);
    for (std::uint32_t i = 0; i < kRecord; ++i) body[i] = static_cast<std::uint8_t>(at + i);
    velk::testing::append_ff_checked(file, at, std::move(body));
  }
  return file;
}

// The largest image an upload takes: just under its 64 MiB limit, ending in a short block.
void dfu_upload() {
  sim::reset();
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) std::abort();
  {
    auto vexo = sim::vexo::Vexo::plug({.mode = sim::vexo::Mode::Dfu});
    vexo->btm_firmware() = Bytes((std::size_t{64} << 20) - 1, 0x5A);
    auto list = velk::usb::UsbDeviceList::get(context);
    auto descriptor = list->at(0).device_descriptor();
    auto device = velk::dfu::connect_dfu(list->at(0), *descriptor);
    if (!device) std::abort();
    // The virtual bus logs every request with its bytes; dropping the log after each block
    // keeps its copy of the image out of the count.
    const velk::Progress forget_requests(
        [](std::uint64_t, std::uint64_t) { sim::bus().requests().clear(); });
    report("DFU upload (dump) of 64 MiB", vexo->btm_firmware().size(), [&] {
      auto pieces = velk::dfu::upload(*device, forget_requests);
      if (!pieces) std::abort();
      std::size_t size = 0;
      for (const auto& piece : *pieces) size += piece.size();
      return size;
    });
  }
  libusb_exit(context);
  sim::reset();
}

}  // namespace

int main() {
  std::printf("| image | input | result | peak heap during the call | peak / result |\n");
  std::printf("|---|---|---|---|---|\n");
  {
    const std::string text = dense_xuv();
    report("xuv listing of every word to the 64 MiB cap", text.size(), [&] {
      auto image = velk::sqif::parse_xuv(bytes_of(text));
      if (!image) std::abort();
      return image->size();
    });
  }
  {
    const std::string text = "@1FFFFFF ABCD\n";
    report("xuv with one word at the 64 MiB cap", text.size(), [&] {
      auto image = velk::sqif::parse_xuv(bytes_of(text));
      if (!image) std::abort();
      return image->size();
    });
  }
  {
    const Bytes file = whole_flash_ff();
    report("FF image of the whole 4 MiB DSP flash", file.size(), [&] {
      auto sections = velk::dsp::parse_ff(file);
      if (!sections || sections->size() != 2) std::abort();
      return std::get<velk::dsp::WriteSection>(sections->back()).data.size();
    });
  }
  {
    Bytes file((std::size_t{64} << 20), 0xA5);
    velk::dfu::append_dfu_suffix(file, 0x7A11, 0x1301, 0xFFFF);
    report("DFU file check (flash) of 64 MiB", file.size(), [&] {
      if (!velk::dfu::check_dfu_file(file, 0x7A11, 0x1301)) std::abort();
      return std::size_t{0};
    });
  }
  dfu_upload();
  return 0;
}
