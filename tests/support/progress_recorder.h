// The progress calls an operation made. velk_progress_fn is a plain C function, so its calls go
// to one list per process; each test starts by clearing it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "velk.h"
#include "velk/src/device/progress.h"

namespace velk::testing {

using ProgressCalls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

inline ProgressCalls& progress_calls() {
  static ProgressCalls calls;
  return calls;
}
inline void VELK_CALL record_progress(std::uint64_t done, std::uint64_t total) {
  progress_calls().emplace_back(done, total);
}
// The same recorder as the operations take it.
inline Progress recording_progress() {
  return Progress(&record_progress);
}

}  // namespace velk::testing
