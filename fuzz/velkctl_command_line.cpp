// Any command line with any files: velkctl's parse and its checks of every input and output
// either accept it or say why, never crash. The bytes are NUL-separated words: velkctl's
// arguments up to an empty word, then the contents of the files f0, f1, ... ("-" reads f0, d is
// a folder, anything else is missing). `check` also inspects each of its files.
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"

namespace {

class FuzzFiles : public velkctl::Files {
 public:
  explicit FuzzFiles(std::vector<std::string_view> contents) : contents_(std::move(contents)) {}

  std::expected<std::vector<std::uint8_t>, std::string> read(const std::string& path) override {
    if (path == "d") return std::unexpected("is a directory");
    const std::string name = path == "-" ? "f0" : path;
    for (std::size_t i = 0; i < contents_.size(); ++i) {
      if (name == "f" + std::to_string(i)) {
        return std::vector<std::uint8_t>(contents_[i].begin(), contents_[i].end());
      }
    }
    return std::unexpected("no such file");
  }

  std::optional<std::string> cannot_write(const velkctl::Output& output) override {
    if (output.path == "d") return "is a directory";
    if (output.path.starts_with("f") && !output.force) return "exists";
    return std::nullopt;
  }

 private:
  std::vector<std::string_view> contents_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> args;
  std::vector<std::string_view> contents;
  bool in_files = false;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(start, end - start);
    if (!in_files && word.empty()) {
      in_files = true;
    } else {
      (in_files ? contents : args).push_back(word);
    }
    start = end + 1;
  }

  auto invocation = velkctl::parse_command_line(args);
  if (!invocation) {
    if (invocation.error().message.empty()) std::abort();
    return 0;
  }
  FuzzFiles files(contents);
  auto checked = velkctl::check_steps(*invocation, files);
  if (!checked && checked.error().message.empty()) std::abort();
  for (velkctl::Step& step : invocation->steps) {
    if (checked) {
      if (auto later = velkctl::check_deferred(*invocation, step, files);
          !later && later.error().message.empty()) {
        std::abort();
      }
    }
    (void)velkctl::command_help(*step.info);
    if (auto* check = std::get_if<velkctl::command::Check>(&step.command)) {
      for (const velkctl::Input& input : check->files) {
        auto bytes = files.read(input.path);
        if (!bytes) continue;
        const velkctl::FileReport report = velkctl::inspect_file(input.path, *bytes);
        if (report.valid != report.problem.empty()) std::abort();
        (void)velkctl::json_string(report.problem);
      }
    }
  }
  return 0;
}
