#include "sim/kernel/journal.h"

#include <chrono>
#include <cstring>

#include "sim/bus.h"

namespace sim::kernel {

bool Journal::open_trace(const std::string& path) {
  std::lock_guard guard(mutex_);
  trace_ = std::fopen(path.c_str(), "w");
  return trace_ != nullptr;
}

void Journal::trace(const std::string& line) {
  std::lock_guard guard(mutex_);
  if (trace_ == nullptr) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bus().now()).count();
  std::fprintf(trace_, "%6lld ms %s\n", static_cast<long long>(ms), line.c_str());
  std::fflush(trace_);
}

void Journal::fail(const std::string& what) {
  std::fprintf(stderr, "vexo_kernel: FAILURE: %s\n", what.c_str());
  trace("FAILURE: " + what);
  std::lock_guard guard(mutex_);
  failures_.push_back(what);
}

std::vector<std::string> Journal::failures() const {
  std::lock_guard guard(mutex_);
  return failures_;
}

Journal::~Journal() {
  if (trace_ != nullptr) std::fclose(trace_);
}

std::string result_text(int result) {
  if (result >= 0) return std::to_string(result);
  const char* name = strerrorname_np(-result);
  return name ? name : std::to_string(result);
}

Journal& journal() {
  static Journal instance;
  return instance;
}

}  // namespace sim::kernel
