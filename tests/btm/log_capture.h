// The log records a test produced, as their message texts. The logger can be installed only
// once per process, so the first capture installs it at trace level into a temporary file and
// every capture reads what was added after it was made.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "velk/src/c/log.h"

namespace velk::testing {

class LogCapture {
 public:
  LogCapture() : start_(std::filesystem::file_size(path())) {}

  // "LEVEL target: message" for each record since the capture was made; trace records lose
  // their source location.
  std::vector<std::string> records() const {
    static const std::regex kLine(
        R"(^\d\d:\d\d:\d\d \[(\w+)\] (?:\(\d+\) )?(?:([\w:]+): )?(?:\[[^\]]*:\d+\] )?(.*)$)");
    std::ifstream in(path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (std::regex_match(line, m, kLine))
        out.push_back(m[1].str() + " " + m[2].str() + ": " + m[3].str());
    }
    return out;
  }

  // The messages of the records whose text starts with `prefix`.
  std::vector<std::string> messages(const std::string& prefix = "") const {
    std::vector<std::string> out;
    for (const std::string& record : records()) {
      const auto colon = record.find(": ");
      std::string message = record.substr(colon + 2);
      if (message.rfind(prefix, 0) == 0) out.push_back(message);
    }
    return out;
  }

 private:
  static const std::string& path() {
    // Removed again when the process ends; the logger keeps writing to it until then.
    struct File {
      std::string name;
      File() {
        name = (std::filesystem::temp_directory_path() /
                ("velk-btm-test-" + std::to_string(std::random_device{}()) + ".log"))
                   .string();
        std::remove(name.c_str());
        if (log::setup(name.c_str(), 5) != 0)
          throw std::runtime_error("cannot install the test logger");
      }
      ~File() { std::remove(name.c_str()); }
    };
    static const File file;
    return file.name;
  }

  std::uintmax_t start_;
};

}  // namespace velk::testing
