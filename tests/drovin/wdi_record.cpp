#include "tests/drovin/wdi_record.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace drovin::testing {

std::optional<std::string> WdiCall::text(const std::string& name) const {
  const std::string& value = raw(name);
  if (value == "null") return std::nullopt;
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
    throw std::runtime_error(function + ": " + name + " is not text: " + value);
  }
  std::string decoded;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '%') {
      decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += value[i];
    }
  }
  return decoded;
}

long long WdiCall::number(const std::string& name) const {
  return std::stoll(raw(name));
}

const std::string& WdiCall::raw(const std::string& name) const {
  auto field = fields.find(name);
  if (field == fields.end()) throw std::runtime_error(function + " has no field " + name);
  return field->second;
}

std::vector<WdiCall> read_record(const std::filesystem::path& path) {
  std::vector<WdiCall> calls;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    WdiCall call;
    words >> call.function;
    std::string word;
    while (words >> word) {
      if (word == "->") {
        words >> call.result;
        break;
      }
      auto equals = word.find('=');
      call.fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

std::vector<WdiCall> calls_of(const std::vector<WdiCall>& calls, std::string_view function) {
  std::vector<WdiCall> selected;
  for (const auto& call : calls) {
    if (call.function == function) selected.push_back(call);
  }
  return selected;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "drovin-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(std::string_view name, std::string_view content) const {
  std::ofstream file(path_ / name);
  file << content;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace drovin::testing
