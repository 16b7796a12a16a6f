// The log file of this test process, set up once through velk_init at trace level; a capture
// sees the records written after it was made.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velk.h"

namespace sqif_test {

class LogCapture {
 public:
  LogCapture() : start_(size()) {}

  // Records since the capture began, from the level column on ("[DEBUG] target: text").
  std::vector<std::string> lines() const {
    std::ifstream in(path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      const auto level = line.find('[');
      out.push_back(level == std::string::npos ? line : line.substr(level));
    }
    return out;
  }

  std::size_t count(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
  }

  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      if (line.rfind("[ERROR] ", 0) == 0) out.push_back(line.substr(8));
    }
    return out;
  }

 private:
  static const std::string& path() {
    // One file per process, so test binaries that run side by side do not share it.
    static const std::string file = [] {
      auto p = (std::filesystem::temp_directory_path() /
                ("velk-sqif-test-" + std::to_string(getpid()) + ".log"))
                   .string();
      std::remove(p.c_str());
      velk_init(p.c_str(), 5);
      return p;
    }();
    return file;
  }
  static std::size_t size() {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path(), ec);
    return ec ? 0 : static_cast<std::size_t>(n);
  }

  std::size_t start_;
};

}  // namespace sqif_test
