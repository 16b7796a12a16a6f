// The log records a test produced. The logger can be installed only once per process, so the
// first capture installs it at trace level into a temporary file of this process's own (ctest
// runs test programs side by side), and every capture reads what was added after it was made.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "velk/src/c/log.h"

namespace velk::testing {

class LogCapture {
 public:
  LogCapture() : start_(size()) {}

  // Everything written since the capture was made, as it stands in the file.
  std::string text() const {
    std::ifstream in(path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // The lines from their level column on: "[DEBUG] (1) velk::device: ...".
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
      const auto level = line.find('[');
      out.push_back(level == std::string::npos ? line : line.substr(level));
    }
    return out;
  }

  // How many lines contain `text`.
  std::size_t count(const std::string& needle) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.find(needle) != std::string::npos;
    return n;
  }

  // The messages of the error records: what the host's failures write.
  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
      if (auto message = velk::log::error_record_message(line)) out.emplace_back(*message);
    }
    return out;
  }

  // "LEVEL target: message" for each record; trace records lose their source location.
  std::vector<std::string> records() const {
    static const std::regex kLine(
        R"(^\d\d:\d\d:\d\d \[(\w+)\] (?:\(\d+\) )?(?:([\w:]+): )?(?:\[[^\]]*:\d+\] )?(.*)$)");
    std::vector<std::string> out;
    std::istringstream in(text());
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
      std::string message = record.substr(record.find(": ") + 2);
      if (message.rfind(prefix, 0) == 0) out.push_back(message);
    }
    return out;
  }

 public:
  // The log file of this process.
  static const std::string& path() {
    // Removed when the process ends; the logger writes to it until then.
    struct File {
      std::string name;
      File() {
        name = (std::filesystem::temp_directory_path() /
                ("velk-test-" + std::to_string(std::random_device{}()) + ".log"))
                   .string();
        std::remove(name.c_str());
        if (!log::setup(name.c_str(), 5))
          throw std::runtime_error("cannot install the test logger");
      }
      ~File() { std::remove(name.c_str()); }
    };
    static const File file;
    return file.name;
  }

 private:
  static std::uintmax_t size() {
    std::error_code ec;
    auto n = std::filesystem::file_size(path(), ec);
    return ec ? 0 : n;
  }

  std::uintmax_t start_;
};

}  // namespace velk::testing
