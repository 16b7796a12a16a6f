// Reads back what the codecs logged. The library's logger can be installed once per process,
// so the first capture installs it at trace level into a temporary file and every capture
// reads the lines written since it was made.
#pragma once

#include <cstdint>
#include <string>

namespace velk::test {

class LogCapture {
 public:
  LogCapture();
  // Everything logged since construction.
  std::string text() const;

 private:
  std::uintmax_t start_;
};

}  // namespace velk::test
