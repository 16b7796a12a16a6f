// The process's log file, set up once at trace level; each test reads what it added.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "velk.h"

namespace velk::testing {

class LogCapture {
 public:
  LogCapture() : start_(size()) {}

  static const std::string& path() {
    static const std::string file = [] {
      // ctest runs several test programs at once: each gets a file of its own.
      auto p = (std::filesystem::temp_directory_path() /
                ("velk-test-" + std::to_string(std::random_device{}()) + ".log")).string();
      std::remove(p.c_str());
      velk_init(p.c_str(), 5);
      return p;
    }();
    return file;
  }

  // Lines written since this capture began, without their time and level columns' time.
  std::vector<std::string> lines() const {
    std::ifstream in(path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line.size() > 9 ? line.substr(9) : line);
    return out;
  }

  std::size_t count(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
  }

  // Records at error level: the ones the host's failures write.
  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      if (line.rfind("[ERROR] ", 0) == 0) out.push_back(line.substr(8));
    }
    return out;
  }

 private:
  static std::size_t size() {
    std::error_code ec;
    auto n = std::filesystem::file_size(path(), ec);
    return ec ? 0 : static_cast<std::size_t>(n);
  }
  std::size_t start_;
};

}  // namespace velk::testing
