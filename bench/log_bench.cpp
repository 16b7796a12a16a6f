// The cost of a log statement: one whose level is filtered out must cost a comparison and
// format nothing; one that passes formats a line and writes it to the file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "velk/src/c/log.h"

namespace {

// The logger is installed once per process, at debug: trace statements are filtered out.
const bool kInstalled = [] {
  auto path = (std::filesystem::temp_directory_path() / "velk-bench.log").string();
  std::remove(path.c_str());
  return velk::log::setup(path.c_str(), 4).has_value();
}();

void BM_LogDisabled(benchmark::State& state) {
  const std::uint8_t bytes[16] = {0x00, 0xfc, 0xfd, 0xc2};
  for (auto _ : state) {
    VELK_TRACE("velk::device::btm", "PS request: {}", velk::log::Dump{bytes, sizeof bytes});
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LogDisabled);

void BM_LogEnabled(benchmark::State& state) {
  if (!kInstalled) state.SkipWithError("no log file");
  int attempt = 0;
  for (auto _ : state) {
    VELK_DEBUG("velk::device", "Enumerating devices ({}/{})", attempt++, 300);
  }
}
BENCHMARK(BM_LogEnabled);

}  // namespace
