#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drovin::testing {

// One line of the libwdi stand-in's call record.
struct WdiCall {
  std::string function;
  std::map<std::string, std::string> fields;  // as written: a number, null, ptr or "text"
  int result = 0;

  bool has(const std::string& name) const { return fields.contains(name); }
  // A text field, decoded; nullopt for a null pointer.
  std::optional<std::string> text(const std::string& name) const;
  long long number(const std::string& name) const;
  const std::string& raw(const std::string& name) const;
};

std::vector<WdiCall> read_record(const std::filesystem::path& path);

// The calls of one function, in order.
std::vector<WdiCall> calls_of(const std::vector<WdiCall>& calls, std::string_view function);

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
  void write(std::string_view name, std::string_view content) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

}  // namespace drovin::testing
