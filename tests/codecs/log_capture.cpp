#include "tests/codecs/log_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "velk/src/c/log.h"

namespace velk::test {
namespace {

const std::string& log_path() {
  static const std::string path = [] {
    std::string p = testing::TempDir() + "velk_codecs_test.log";
    std::filesystem::remove(p);
    if (log::setup(p.c_str(), 5) != 0) throw std::runtime_error("cannot install the test logger");
    return p;
  }();
  return path;
}

std::uintmax_t size_of(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

LogCapture::LogCapture() : start_(size_of(log_path())) {}

std::string LogCapture::text() const {
  std::ifstream in(log_path(), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start_));
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace velk::test
