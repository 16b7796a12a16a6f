// The library's own cost of a persistent-store read through the C interface: the lock, the
// BCCMD frame built and checked, the access layer. The virtual device answers at once in
// virtual time, so this is host CPU time per exchange, not device time.
#include <benchmark/benchmark.h>

#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "velk.h"

namespace {

void BM_ReadPsKey(benchmark::State& state) {
  sim::reset();
  auto vexo = sim::vexo::Vexo::plug();
  vexo->set_pskey(0x0022,
                  std::vector<std::uint16_t>(static_cast<std::size_t>(state.range(0)), 0x1234));
  velk_handle handle = velk_open();
  if (handle == nullptr) state.SkipWithError("no device");
  std::uint16_t words[118];
  for (auto _ : state) {
    benchmark::DoNotOptimize(velk_read_pskey(handle, 0x0022, words, 118));
  }
  velk_close(handle);
  sim::reset();
}
BENCHMARK(BM_ReadPsKey)->Arg(1)->Arg(118);

void BM_OpenAndClose(benchmark::State& state) {
  sim::reset();
  sim::vexo::Vexo::plug();
  for (auto _ : state) {
    velk_handle handle = velk_open();
    benchmark::DoNotOptimize(handle);
    velk_close(handle);
  }
  sim::reset();
}
BENCHMARK(BM_OpenAndClose);

}  // namespace
