// What the kernel interface tells about a run: a trace of every request the host made (when
// asked for), and the failures that make the run fail however the host fared (a request the
// model does not serve, a check of the device's state at the end).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sim::kernel {

class Journal {
 public:
  // Trace lines go to this file from now on.
  bool open_trace(const std::string& path);
  void trace(const std::string& line);
  // Printed on standard error at once and remembered.
  void fail(const std::string& what);
  std::vector<std::string> failures() const;
  ~Journal();

 private:
  mutable std::mutex mutex_;
  std::FILE* trace_ = nullptr;
  std::vector<std::string> failures_;
};

Journal& journal();

// A system call's result for the trace: the count, or the errno's name for -errno.
std::string result_text(int result);

}  // namespace sim::kernel
