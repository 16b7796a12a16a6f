// Throughput of the image codecs on inputs of realistic size: a few MiB of BTM firmware,
// a serial-flash xuv listing, an FF image of data records under CRC records.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ff_builder.h"
#include "velk/src/device/dfu/dfu_file.h"
#include "velk/src/device/dsp/crc16.h"
#include "velk/src/device/dsp/ff.h"
#include "velk/src/device/dsp/loader_image.h"
#include "velk/src/device/sqif/xuv.h"
#include "velk/src/util/utf8.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes noise(std::size_t n) {
  Bytes b(n);
  std::uint32_t x = 0x12345678;
  for (auto& v : b) {
    x = x * 1664525U + 1013904223U;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

void set_bytes(benchmark::State& state, std::size_t per_iteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * per_iteration));
}

void BM_DfuCrc(benchmark::State& state) {
  const Bytes b = noise(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(velk::dfu::dfu_crc(b));
  set_bytes(state, b.size());
}
BENCHMARK(BM_DfuCrc)->Arg(1 << 20);

// What the DFU CRC is measured against: zlib's own CRC-32 on the same bytes.
void BM_ZlibCrc32(benchmark::State& state) {
  const Bytes b = noise(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(crc32_z(0, b.data(), b.size()));
  set_bytes(state, b.size());
}
BENCHMARK(BM_ZlibCrc32)->Arg(1 << 20);

void BM_CheckDfuFile(benchmark::State& state) {
  Bytes file = noise(static_cast<std::size_t>(state.range(0)));
  velk::dfu::append_dfu_suffix(file, 0x0A12, 0xFFFF, 0xFFFF);
  for (auto _ : state) {
    auto r = velk::dfu::check_dfu_file(file, 0x0A12, 0xFFFF);
    if (!r) state.SkipWithError("check failed");
  }
  set_bytes(state, file.size());
}
BENCHMARK(BM_CheckDfuFile)->Arg(4 << 20);

void BM_SwappedCrc16(benchmark::State& state) {
  const Bytes b = noise(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(velk::dsp::swapped_crc16(b));
  set_bytes(state, b.size());
}
BENCHMARK(BM_SwappedCrc16)->Arg(64 << 10);

void BM_Utf8Ascii(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
  for (auto _ : state) benchmark::DoNotOptimize(velk::check_utf8(text));
  set_bytes(state, text.size());
}
BENCHMARK(BM_Utf8Ascii)->Arg(1 << 20);

void BM_Utf8Mixed(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0)))
    text += "caf\xC3\xA9 \xE3\x80\x80 \xF0\x9F\x98\x80 ";
  for (auto _ : state) benchmark::DoNotOptimize(velk::check_utf8(text));
  set_bytes(state, text.size());
}
BENCHMARK(BM_Utf8Mixed)->Arg(1 << 20);

// A listing of `words` consecutive words, as the flash tools write it.
std::string xuv_text(std::size_t words) {
  std::string text;
  for (std::size_t i = 0; i < words; ++i)
    text += fmt::format("@{:06X}   {:04X}\r\n", i, (i * 7919) & 0xFFFF);
  return text;
}

void BM_ParseXuv(benchmark::State& state) {
  const std::string text = xuv_text(static_cast<std::size_t>(state.range(0)));
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  for (auto _ : state) {
    auto image = velk::sqif::parse_xuv(bytes);
    if (!image) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(image);
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_ParseXuv)->Arg(512 << 10);  // a 1 MiB image

// The floor for any line-by-line reader of the same text: counting its lines with memchr.
void BM_XuvMemchrLines(benchmark::State& state) {
  const std::string text = xuv_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t lines = 0;
    for (const char *p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))));
         ++p) {
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_XuvMemchrLines)->Arg(512 << 10);

// `records` contiguous 1 KiB data records, each under its own CRC record.
Bytes ff_image(std::size_t records) {
  constexpr std::uint32_t kRecord = 1024;
  Bytes file;
  for (std::size_t i = 0; i < records; ++i) {
    velk::testing::append_ff_checked(file, static_cast<std::uint32_t>(0x10000 + i * kRecord),
                                     noise(kRecord));
  }
  return file;
}

void BM_ParseFf(benchmark::State& state) {
  const Bytes file = ff_image(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto sections = velk::dsp::parse_ff(file);
    if (!sections || sections->size() != 1) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(sections);
  }
  set_bytes(state, file.size());
}
BENCHMARK(BM_ParseFf)->Arg(1024);  // about 1 MiB

void BM_CheckLoaderImage(benchmark::State& state) {
  // A chain of 16-byte blocks (link 3) through 64 KiB, ending 22 bytes before the end.
  constexpr std::size_t kBlocks = 4000;
  Bytes image(30 + kBlocks * 18 + 22, 0);
  image[1] = 0xA5;
  image[0] = 0x09;
  for (std::size_t i = 0; i < kBlocks; ++i) image[30 + i * 18 + 1] = 3;
  if (!velk::dsp::check_loader_image(image)) state.SkipWithError("image rejected");
  for (auto _ : state) benchmark::DoNotOptimize(velk::dsp::check_loader_image(image));
  set_bytes(state, image.size());
}
BENCHMARK(BM_CheckLoaderImage);

}  // namespace
