// velkctl: the command-line host for the velk library.
//
//   velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] [--json] COMMAND [ARGS] [+ COMMAND]...
//
// A command line is parsed into typed commands, then every file it reads is checked with the
// library's own format code and every file it writes is checked for a place to go; only then is
// the device opened and the commands run, one after the other, on that one open device.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "command_line.h"
#include "device_list.h"
#include "interrupts.h"
#include "system_files.h"
#include "velk.h"
#include "velk/src/c/log.h"
#include "velk/src/device/dsp/ff.h"
#include "velk_version.h"

namespace velkctl {
namespace {

using velk::ErrorKind;

// ---- Why a call failed. The library writes the reason as its error record; without --log,
// velkctl keeps a private log at error level for it, a temporary file gone when velkctl ends.

class ErrorRecords {
 public:
  ErrorRecords() = default;
  ErrorRecords(const ErrorRecords&) = delete;
  ErrorRecords& operator=(const ErrorRecords&) = delete;
  ~ErrorRecords() {
    if (file_ != nullptr) std::fclose(file_);
    if (!remove_.empty()) std::remove(remove_.c_str());
  }

  // Reads the records of the log file the user asked for.
  void watch(const std::string& path) { file_ = std::fopen(path.c_str(), "rb"); }

  // Sets the library's log up at error level in a temporary file; false when that fails, and
  // then failures are reported by their code only.
  bool open_private() {
#ifdef _WIN32
    wchar_t dir[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, dir) == 0 || GetTempFileNameW(dir, L"vlk", 0, name) == 0)
      return false;
    char utf8[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr) == 0)
      return false;
    remove_ = utf8;
    if (velk_init(utf8, 1) != 0) return false;
    // The library opens its file shared for reading and deleting: the destructor's remove
    // takes effect when the process ends.
    file_ = _wfopen(name, L"rb");
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velkctl-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return false;
    file_ = fdopen(fd, "rb");
    const bool ok = file_ != nullptr && velk_init(path.c_str(), 1) == 0;
    // Both the library and velkctl have it open; the name is not needed any more.
    unlink(path.c_str());
    if (file_ == nullptr) close(fd);
    if (!ok) return false;
#endif
    return file_ != nullptr;
  }

  // Before a call: its records are the ones written after this.
  void mark() {
    if (file_ != nullptr && std::fseek(file_, 0, SEEK_END) == 0) mark_ = std::ftell(file_);
  }

  // The messages of the error records written since mark().
  std::vector<std::string> since_mark() {
    std::vector<std::string> messages;
    if (file_ == nullptr || mark_ < 0 || std::fseek(file_, mark_, SEEK_SET) != 0) return messages;
    std::string line;
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
      if (c != '\n') {
        line.push_back(static_cast<char>(c));
        continue;
      }
      if (auto message = velk::log::error_record_message(line); message && !message->empty())
        messages.emplace_back(*message);
      line.clear();
    }
    return messages;
  }

 private:
  std::FILE* file_ = nullptr;
  long mark_ = -1;
  std::string remove_;  // a private log that only Windows can delete at the end
};

// ---- Progress on standard error. On a terminal, a bar redrawn at most ten times a second and
// once at the end; otherwise one line when the transfer has finished. An operation whose size
// is open until its end reports the count so far as both numbers; that shows as a count. The
// library's callback carries no context, so its state is the one static here.

void draw_progress(std::uint64_t done, std::uint64_t total) {
  constexpr int kWidth = 40;
  if (total == 0 || done == total) {
    std::fprintf(stderr, "\r  %llu bytes%s", static_cast<unsigned long long>(done),
                 total == 0 ? "" : "   ");
  } else {
    int filled = static_cast<int>(done * kWidth / total);
    std::fprintf(stderr, "\r  [%.*s%*s] %3d%% %llu/%llu", filled,
                 "########################################", kWidth - filled, "",
                 static_cast<int>(done * 100 / total), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total));
  }
  std::fflush(stderr);
}

struct Progress {
  static constexpr std::chrono::milliseconds kRedrawEvery{100};
  bool terminal = false;
  bool reported = false;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::chrono::steady_clock::time_point drawn_at;
};
Progress progress;

// The library reports after every block, a thousand times for a megabyte of firmware.
void VELK_CALL show_progress(std::uint64_t done, std::uint64_t total) {
  progress.done = done;
  progress.total = total;
  const bool first = !progress.reported;
  progress.reported = true;
  if (!progress.terminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (!first && now - progress.drawn_at < Progress::kRedrawEvery) return;
  progress.drawn_at = now;
  draw_progress(done, total);
}

// After a transfer: the last report, as a bar's last drawing or as the one line.
void end_progress(std::string_view label) {
  std::fflush(stdout);  // what earlier commands printed comes first, also through a pipe
  if (progress.reported && progress.terminal) {
    draw_progress(progress.done, progress.total);
    std::fputc('\n', stderr);
  } else if (progress.reported) {
    if (progress.total == 0 || progress.done == progress.total) {
      std::fprintf(stderr, "%.*s: %llu bytes\n", static_cast<int>(label.size()), label.data(),
                   static_cast<unsigned long long>(progress.done));
    } else {
      std::fprintf(stderr, "%.*s: %llu of %llu bytes\n", static_cast<int>(label.size()),
                   label.data(), static_cast<unsigned long long>(progress.done),
                   static_cast<unsigned long long>(progress.total));
    }
  }
  const bool terminal = progress.terminal;
  progress = Progress{};
  progress.terminal = terminal;
}

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// ---- What one command came to: for the human reader and for --json.

struct Outcome {
  int exit = kExitOk;
  std::int32_t code = 0;             // the library's result code; 0 when it did not fail
  std::string kind;                  // the error kind, "verify", "usage", "velkctl" or empty
  std::vector<std::string> reasons;  // why it failed, one line each
  std::vector<std::string> lines;    // what it says on success
  std::vector<std::pair<std::string, std::string>> fields;  // JSON members, values as JSON

  static Outcome failed(int exit, std::string kind, std::string reason) {
    Outcome o;
    o.exit = exit;
    o.kind = std::move(kind);
    o.reasons.push_back(std::move(reason));
    return o;
  }
};

std::string words_json(const std::vector<std::uint16_t>& words) {
  std::string out = "[";
  for (std::size_t i = 0; i < words.size(); ++i) out += fmt::format("{}{}", i ? "," : "", words[i]);
  return out + "]";
}

// The first byte at which two images differ, or nothing.
std::optional<std::size_t> first_difference(std::span<const std::uint8_t> a,
                                            std::span<const std::uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  if (a.size() != b.size()) return n;
  return std::nullopt;
}

void print_problem(const Problem& problem, bool json) {
  if (json) {
    std::printf("{\"command\":null,\"ok\":false,\"code\":null,\"kind\":\"usage\",\"message\":%s}\n",
                json_string(problem.message).c_str());
    std::fflush(stdout);
  }
  std::fprintf(stderr, "velkctl: %s\n", problem.message.c_str());
  if (!problem.usage.empty()) std::fprintf(stderr, "%s\n", problem.usage.c_str());
}

// What a second Ctrl-C during a command may leave behind.
struct DeviceLeft {
  std::string_view operator()(const command::FlashBtm&) const {
    return "DFU mode (its boot loader) with its firmware half written: flash it again";
  }
  std::string_view operator()(const command::DumpBtm&) const {
    return "DFU mode (its boot loader)";
  }
  std::string_view operator()(const command::FlashSqif&) const {
    return "SQIF mode (its serial-flash loader) with the serial flash erased or half "
           "written: flash it again";
  }
  std::string_view operator()(const command::FlashDsp&) const {
    return "DSP mode (its DSP loader) with a sector half written: flash again";
  }
  std::string_view operator()(const command::WriteDsp&) const {
    return "DSP mode (its DSP loader) with a sector half written: write again";
  }
  std::string_view operator()(const command::ReadDsp&) const { return "DSP mode (its DSP loader)"; }
  template <class Other>
  std::string_view operator()(const Other&) const {
    return "BTM mode, or in a restart on its way back to it";
  }
};

class Session {
 public:
  Session(Invocation& invocation, ErrorRecords& records)
      : invocation_(invocation), options_(invocation.options), records_(records) {
    for (const Step& step : invocation.steps) {
      data_on_stdout_ = data_on_stdout_ || std::visit(
                                               [](const auto& c) {
                                                 if constexpr (requires { c.file.is_stdout(); })
                                                   return c.file.is_stdout();
                                                 return false;
                                               },
                                               step.command);
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (device_ != nullptr) velk_close(device_);
  }

  // Runs the chain; returns velkctl's exit status.
  int run() {
    std::vector<Step>& steps = invocation_.steps;
    int status = kExitOk;
    for (std::size_t i = 0; i < steps.size() && status == kExitOk; ++i) {
      if (Interrupts::stop_requested()) {
        std::fprintf(stderr, "velkctl: stopped by Ctrl-C before %.*s; %zu command%s not run\n",
                     static_cast<int>(steps[i].info->name.size()), steps[i].info->name.data(),
                     steps.size() - i, steps.size() - i == 1 ? "" : "s");
        return kExitInterrupted;
      }
      Step& step = steps[i];
      name_ = step.info->name;
      const bool deferred = std::visit(
          [](const auto& c) {
            if constexpr (requires { c.file.deferred; }) return c.file.deferred;
            return false;
          },
          step.command);
      if (deferred) {
        SystemFiles files;
        if (auto checked = check_deferred(invocation_, step, files); !checked) {
          print_problem(checked.error(), options_.json);
          return checked.error().exit_status;
        }
      }
      if (step.info->needs_device && device_ == nullptr) {
        if (Outcome opened = open_device(); opened.exit != kExitOk) {
          report(opened, /*named=*/false);
          return opened.exit;
        }
      }
      Interrupts::running(name_, device_left(step.command));
      const Outcome outcome = std::visit([this](const auto& c) { return run(c); }, step.command);
      Interrupts::idle();
      report(outcome);
      status = outcome.exit;
    }
    if (status == kExitOk && Interrupts::stop_requested()) return kExitInterrupted;
    return status;
  }

 private:
  // ---- The device.

  Outcome open_device() {
    records_.mark();
    device_ = velk_open();
    if (device_ != nullptr) return {};
    const std::vector<std::string> records = records_.since_mark();
    std::string reason = "no device opened";
    for (const std::string& record : records) reason += ": " + record;
    Outcome o = Outcome::failed(kExitNoDevice,
                                std::string(velk::debug_name(ErrorKind::EnumerationError)), reason);
    o.code = velk::code_of(ErrorKind::EnumerationError);
    const bool several =
        !records.empty() && records.back().find("more than one") != std::string::npos;
    if (several) {
      o.reasons.push_back(
          "velkctl serves exactly one device: unplug the others (velkctl list shows them)");
    } else {
      o.reasons.push_back(fmt::format("looked for {}", identities_text()));
      o.reasons.push_back(no_device_hint());
    }
    return o;
  }

  static std::string no_device_hint(bool from_list = false) {
#ifdef _WIN32
    (void)from_list;
    return "check the cable and that the device is powered; BTM and DFU mode need the libusbK "
           "driver (drovin installs it)";
#else
    return std::string(
               "check the cable and that the device is powered; without the udev rules "
               "(70-vexo.rules) only root may open it") +
           (from_list ? "" : " (velkctl list shows what can be opened)");
#endif
  }

  // The library's answer as an outcome, with its error records as the reason.
  Outcome from_code(std::int32_t code) {
    if (code >= 0) return {};
    const std::int32_t kind_number = code - velk::code_of(ErrorKind::InternalError);
    Outcome o;
    o.code = code;
    const bool known = kind_number >= 0 && kind_number <= static_cast<int>(ErrorKind::Timeout);
    const auto kind = static_cast<ErrorKind>(known ? kind_number : 0);
    o.kind = known ? std::string(velk::debug_name(kind)) : "unknown";
    o.exit = known ? exit_for(kind) : kExitKindBase;
    o.reasons = records_.since_mark();
    if (o.reasons.empty()) o.reasons.push_back("failed");
    return o;
  }

  // Where the status lines go: standard output, unless it carries data.
  std::FILE* status_stream() const { return data_on_stdout_ ? stderr : stdout; }

  // `named`: the reason is the command's, and says so; else it is velkctl's, as the failure to
  // open the device.
  void report(const Outcome& o, bool named = true) {
    std::fflush(stdout);
    if (options_.json) {
      std::string json =
          fmt::format("{{\"command\":{},\"ok\":{},\"code\":{},\"kind\":{},\"message\":{}",
                      json_string(name_), o.exit == kExitOk ? "true" : "false", o.code,
                      o.kind.empty() ? "null" : json_string(o.kind),
                      o.reasons.empty() ? "null" : json_string(o.reasons.front()));
      for (const auto& [key, value] : o.fields)
        json += fmt::format(",{}:{}", json_string(key), value);
      std::printf("%s}\n", json.c_str());
    } else {
      for (const std::string& line : o.lines) std::fprintf(status_stream(), "%s\n", line.c_str());
    }
    for (std::size_t i = 0; i < o.reasons.size(); ++i) {
      std::string line = named ? fmt::format("velkctl: {}: {}", name_, o.reasons[i])
                               : fmt::format("velkctl: {}", o.reasons[i]);
      if (i == 0 && o.code != 0 && o.exit != kExitNoDevice)
        line += fmt::format(" ({}, code {})", o.kind, o.code);
      if (i > 0) line = "  " + o.reasons[i];
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(status_stream());
  }

  // A transfer's outcome once its progress is shown.
  Outcome transfer(std::int32_t code, std::string_view label) {
    transferred_ = progress.done;
    end_progress(label);
    return from_code(code);
  }

  static std::string_view device_left(const Command& command) {
    return std::visit(DeviceLeft{}, command);
  }

  // ---- The commands.

  Outcome run(const command::Status&) {
    records_.mark();
    const std::int32_t mode = velk_status(device_);
    if (mode < 0) return from_code(mode);
    constexpr const char* kModeNames[] = {"NA (no connection, or not answering)", "BTM", "DFU",
                                          "SQIF", "DSP"};
    const char* name = mode <= 4 ? kModeNames[mode] : "unknown";
    Outcome o;
    o.lines.push_back(fmt::format("mode: {} {}", mode, name));
    o.fields = {
        {"mode", std::to_string(mode)},
        {"mode_name",
         json_string(velk::mode_name(static_cast<velk::OperationMode>(mode <= 4 ? mode : 0)))}};
    return o;
  }

  Outcome run(const command::Reset&) {
    records_.mark();
    Outcome o = from_code(velk_reset(device_));
    if (o.exit == kExitOk) o.lines.push_back("reset: done");
    return o;
  }

  Outcome run(const command::PskeyGet& c) {
    records_.mark();
    std::vector<std::uint16_t> words(c.capacity);
    const std::int32_t n = velk_read_pskey(device_, c.key, words.data(), c.capacity);
    if (n < 0) return from_code(n);
    words.resize(static_cast<std::size_t>(n));
    Outcome o;
    std::string line = fmt::format("pskey {:#06x}:", c.key);
    for (std::uint16_t w : words) line += fmt::format(" {:#06x}", w);
    o.lines.push_back(line);
    o.fields = {{"key", std::to_string(c.key)}, {"words", words_json(words)}};
    return o;
  }

  Outcome run(const command::PskeySet& c) {
    records_.mark();
    Outcome o = from_code(velk_write_pskey(device_, c.key, c.words.data(),
                                           static_cast<std::uint32_t>(c.words.size())));
    if (o.exit == kExitOk) o.lines.push_back(fmt::format("pskey {:#06x}: written", c.key));
    o.fields = {{"key", std::to_string(c.key)}, {"words", words_json(c.words)}};
    return o;
  }

  Outcome run(const command::PskeyClear& c) {
    records_.mark();
    Outcome o = from_code(velk_clear_pskey(device_, c.key));
    if (o.exit == kExitOk) o.lines.push_back(fmt::format("pskey {:#06x}: cleared", c.key));
    o.fields = {{"key", std::to_string(c.key)}};
    return o;
  }

  // The three flashes take a whole file and differ only in the function they call.
  using Flash = std::int32_t(VELK_CALL*)(velk_handle, const std::uint8_t*, std::uint32_t,
                                         velk_progress_fn);
  Outcome flash(Flash function, const Input& file) {
    records_.mark();
    Outcome o = transfer(function(device_, file.bytes.data(),
                                  static_cast<std::uint32_t>(file.bytes.size()), show_progress),
                         name_);
    o.fields = {{"bytes", std::to_string(file.bytes.size())}};
    return o;
  }

  Outcome run(const command::FlashBtm& c) {
    const auto& image = c.file.bytes;
    Outcome o = flash(velk_flash_btm, c.file);
    if (o.exit != kExitOk) return o;
    if (c.verify) {
      // The boot loader offers no read of a range: reading back is a whole upload.
      const std::string temp = temporary_path("verify.dfu");
      Interrupts::add_temporary(temp);
      Interrupts::watch_dump_target(temp);
      records_.mark();
      Outcome read =
          transfer(velk_dump_btm(device_, temp.c_str(), show_progress), "flash-btm: verify");
      std::vector<std::uint8_t> back;
      if (read.exit == kExitOk) {
        auto bytes = SystemFiles().read(temp);
        if (bytes)
          back = std::move(*bytes);
        else
          read = Outcome::failed(kExitFailure, "velkctl",
                                 "cannot read the firmware back: " + bytes.error());
      }
      std::remove(temp.c_str());
      Interrupts::remove_temporary(temp);
      if (read.exit != kExitOk) return read;
      // Both are DFU files: the images before their suffixes are compared.
      const std::size_t suffix = 16;
      const auto want = std::span(image).first(image.size() - suffix);
      const auto got = std::span(back).first(back.size() >= suffix ? back.size() - suffix : 0);
      if (auto at = first_difference(want, got)) {
        Outcome bad = Outcome::failed(
            kExitVerify, "verify",
            fmt::format("verify failed: the firmware read back ({} bytes) differs from {} ({} "
                        "bytes) at byte {:#x}",
                        got.size(), c.file.path, want.size(), *at));
        bad.fields = o.fields;
        return bad;
      }
      o.fields.emplace_back("verified", "true");
      o.lines.push_back("flash-btm: done, verified");
      return o;
    }
    o.lines.push_back("flash-btm: done");
    return o;
  }

  Outcome run(const command::DumpBtm& c) {
    // Standard output gets the file through a temporary one: the library writes to a path.
    const std::string path = c.file.is_stdout() ? temporary_path("dump.dfu") : c.file.path;
    if (c.file.is_stdout()) Interrupts::add_temporary(path);
    Interrupts::watch_dump_target(path);
    records_.mark();
    Outcome o = transfer(velk_dump_btm(device_, path.c_str(), show_progress), name_);
    if (c.file.is_stdout()) {
      if (o.exit == kExitOk) {
        if (auto failed = copy_to_stdout(path))
          o = Outcome::failed(kExitFailure, "velkctl", *failed);
      }
      std::remove(path.c_str());
      Interrupts::remove_temporary(path);
    }
    if (o.exit == kExitOk) {
      o.lines.push_back(fmt::format("dump-btm: written to {}",
                                    c.file.is_stdout() ? "standard output" : c.file.path));
      o.fields = {{"bytes", std::to_string(transferred_)}};
    }
    return o;
  }

  Outcome run(const command::FlashSqif& c) {
    Outcome o = flash(velk_flash_sqif, c.file);
    if (o.exit == kExitOk)
      o.lines.push_back(c.erase_only ? "flash-sqif: erased" : "flash-sqif: done");
    return o;
  }

  // Reads `length` bytes at `address` and compares them with `want`.
  Outcome verify_dsp(std::uint32_t address, std::span<const std::uint8_t> want) {
    std::vector<std::uint8_t> back(want.size());
    records_.mark();
    Outcome read = transfer(velk_read_dsp(device_, address, back.data(),
                                          static_cast<std::uint32_t>(back.size()), show_progress),
                            fmt::format("{}: verify", name_));
    if (read.exit != kExitOk) return read;
    if (auto at = first_difference(want, back)) {
      return Outcome::failed(kExitVerify, "verify",
                             fmt::format("verify failed: DSP memory at {:#x} differs from what was "
                                         "written",
                                         address + *at));
    }
    return {};
  }

  Outcome run(const command::FlashDsp& c) {
    Outcome o = flash(velk_flash_dsp, c.file);
    if (o.exit != kExitOk) return o;
    if (c.verify) {
      // The same parse the library made, checked before the device was opened.
      auto sections = velk::dsp::parse_ff(c.file.bytes);
      if (!sections) return Outcome::failed(kExitFailure, "velkctl", sections.error().display());
      for (const auto& section : *sections) {
        if (const auto* write = std::get_if<velk::dsp::WriteSection>(&section)) {
          if (Outcome v = verify_dsp(write->address, write->data); v.exit != kExitOk) return v;
        }
      }
      o.fields.emplace_back("verified", "true");
    }
    o.lines.push_back(c.verify ? "flash-dsp: done, verified" : "flash-dsp: done");
    return o;
  }

  Outcome run(const command::WriteDsp& c) {
    records_.mark();
    const auto& data = c.file.bytes;
    Outcome o = transfer(velk_write_dsp(device_, c.address, data.data(),
                                        static_cast<std::uint32_t>(data.size()), show_progress),
                         name_);
    o.fields = {{"address", std::to_string(c.address)}, {"bytes", std::to_string(data.size())}};
    if (o.exit != kExitOk) return o;
    if (c.verify) {
      if (Outcome v = verify_dsp(c.address, data); v.exit != kExitOk) return v;
      o.fields.emplace_back("verified", "true");
    }
    o.lines.push_back(c.verify ? "write-dsp: done, verified" : "write-dsp: done");
    return o;
  }

  Outcome run(const command::ReadDsp& c) {
    std::vector<std::uint8_t> data(c.length);
    records_.mark();
    Outcome o =
        transfer(velk_read_dsp(device_, c.address, data.data(), c.length, show_progress), name_);
    if (o.exit != kExitOk) return o;
    if (auto failed = write_output(c.file, data))
      return Outcome::failed(kExitFailure, "velkctl", *failed);
    o.lines.push_back(fmt::format("read-dsp: written to {}",
                                  c.file.is_stdout() ? "standard output" : c.file.path));
    o.fields = {{"address", std::to_string(c.address)}, {"bytes", std::to_string(c.length)}};
    return o;
  }

  Outcome run(const command::Check& c) {
    Outcome o;
    std::string files = "[";
    bool all_valid = true;
    SystemFiles fs;
    for (const Input& file : c.files) {
      FileReport r;
      if (file.path == "-") {
        r = inspect_file(file.path, file.bytes);
      } else if (auto bytes = fs.read(file.path)) {
        r = inspect_file(file.path, *bytes);
      } else {
        r.format = "unreadable";
        r.problem = bytes.error();
        o.exit = kExitUsage;
      }
      all_valid = all_valid && r.valid;
      o.lines.push_back(fmt::format("{}: {}: {}", file.path, r.format,
                                    r.valid ? "valid" : "NOT valid: " + r.problem));
      for (const std::string& line : r.lines) o.lines.push_back("  " + line);
      std::string json =
          fmt::format("{{\"path\":{},\"format\":{},\"valid\":{},\"problem\":{}",
                      json_string(file.path), json_string(r.format), r.valid ? "true" : "false",
                      r.valid ? "null" : json_string(r.problem));
      for (const auto& [key, value] : r.fields)
        json += fmt::format(",{}:{}", json_string(key), value);
      files += (files.size() > 1 ? "," : "") + json + "}";
    }
    o.fields = {{"files", files + "]"}};
    if (!all_valid && o.exit == kExitOk) {
      o.exit = exit_for(ErrorKind::InvalidImage);
      o.kind = std::string(velk::debug_name(ErrorKind::InvalidImage));
    } else if (o.exit == kExitUsage) {
      o.kind = "usage";
    }
    return o;
  }

  Outcome run(const command::List&) {
    auto devices = list_devices();
    if (!devices) {
      return Outcome::failed(exit_for(devices.error().kind()),
                             std::string(velk::debug_name(devices.error().kind())),
                             devices.error().display());
    }
    Outcome o;
    std::string json = "[";
    bool denied = false;
    for (const ListedDevice& d : *devices) {
      std::string line = fmt::format("{:<5} {:04x}:{:04x}  bus {} port {}", velk::mode_name(d.mode),
                                     d.vendor, d.product, d.bus, d.ports.empty() ? "-" : d.ports);
      if (!d.open_error.empty()) line += "  cannot be opened: " + d.open_error;
      denied = denied || d.access_denied;
      o.lines.push_back(std::move(line));
      json += fmt::format(
          "{}{{\"mode\":{},\"vendor\":\"{:04x}\",\"product\":\"{:04x}\",\"bus\":{},"
          "\"ports\":{},\"open_error\":{}}}",
          json.size() > 1 ? "," : "", json_string(velk::mode_name(d.mode)), d.vendor, d.product,
          d.bus, json_string(d.ports), d.open_error.empty() ? "null" : json_string(d.open_error));
    }
    o.fields = {{"devices", json + "]"}};
    if (devices->empty()) {
      o.exit = kExitNoDevice;
      o.kind = "no device";
      o.reasons = {fmt::format("no Vexo attached; looked for {}", identities_text()),
                   no_device_hint(true)};
    } else if (denied) {
#ifndef _WIN32
      o.lines.push_back(
          "hint: access denied: install the udev rules (70-vexo.rules, in the velkctl package), "
          "then unplug and replug the device");
#endif
    }
    if (devices->size() > 1)
      o.lines.push_back("note: velkctl serves one device at a time; unplug the others first");
    return o;
  }

  Outcome run(const command::Help& c) {
    Outcome o;
    const CommandInfo* topic = c.topic.empty() ? nullptr : find_command(c.topic);
    std::string text = topic ? command_help(*topic) : overview_help();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    o.lines.push_back(std::move(text));
    return o;
  }

  Invocation& invocation_;
  const Options& options_;
  ErrorRecords& records_;
  velk_handle device_ = nullptr;
  bool data_on_stdout_ = false;
  std::string_view name_;
  std::uint64_t transferred_ = 0;  // bytes of the last transfer, as its progress counted them
};

#ifndef _WIN32
// The virtual device stands in for libusb and hidapi when it is preloaded into this process
// before the library; so --sim starts the program again with it preloaded.
[[noreturn]] void restart_with_virtual_device(char** argv, const std::string& scenario) {
  std::string self(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (n <= 0) {
    std::perror("velkctl: cannot find its own executable");
    std::exit(kExitUsage);
  }
  self.resize(static_cast<std::size_t>(n));
  // Where velk-sim (or cmake --install of the sim component) puts it, <libdir>/velk/, found
  // relative to this program; VELKCTL_SIM_PRELOAD names another copy, such as a build tree's.
  std::string preload = self.substr(0, self.rfind('/')) + "/" VELKCTL_SIM_PRELOAD_INSTALLED;
  if (const char* given = std::getenv("VELKCTL_SIM_PRELOAD"); given != nullptr && *given != '\0')
    preload = given;
  if (access(preload.c_str(), R_OK) != 0) {
    std::fprintf(stderr,
                 "velkctl: --sim needs the virtual device, %s, which is not installed (Debian "
                 "package velk-sim; or set VELKCTL_SIM_PRELOAD)\n",
                 preload.c_str());
    std::exit(kExitUsage);
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("VELK_SIM", scenario.c_str(), 1);
  setenv("VELKCTL_SIM_ACTIVE", "1", 1);
  execv(self.c_str(), argv);
  std::perror("velkctl: cannot start the virtual device");
  std::exit(kExitUsage);
}
#endif

int run_velkctl(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto parsed = parse_command_line(args);
  if (!parsed) {
    const bool json = std::find(args.begin(), args.end(), std::string_view("--json")) != args.end();
    print_problem(parsed.error(), json);
    return parsed.error().exit_status;
  }
  Invocation& invocation = *parsed;
  if (invocation.options.help) {
    std::fputs(overview_help().c_str(), stdout);
    return kExitOk;
  }
  if (invocation.options.version) {
    std::printf("velkctl %s\n", VELK_VERSION_STRING);
    return kExitOk;
  }

  // Before any file is read: the restart would find standard input already consumed.
  if (invocation.options.sim && std::getenv("VELKCTL_SIM_ACTIVE") == nullptr) {
#ifdef _WIN32
    std::fputs("velkctl: the virtual device is available in Linux builds only\n", stderr);
    return kExitUsage;
#else
    restart_with_virtual_device(argv, invocation.options.scenario);
#endif
  }

  SystemFiles files;
  if (auto checked = check_steps(invocation, files); !checked) {
    print_problem(checked.error(), invocation.options.json);
    return checked.error().exit_status;
  }

  Interrupts::install();
  progress.terminal = stderr_is_terminal();
  ErrorRecords records;
  const Options& options = invocation.options;
  if (!options.log_path.empty() || options.log_level != 0) {
    const std::int32_t code = velk_init(options.log_path.c_str(), options.log_level);
    if (code != 0) {
      std::fprintf(stderr, "velkctl: cannot set up the log file '%s' (%d)\n",
                   options.log_path.c_str(), code);
      return kExitKindBase + (code - velk::code_of(ErrorKind::InternalError));
    }
    records.watch(options.log_path);
  } else {
    records.open_private();
  }
  Session session(invocation, records);
  return session.run();
}

}  // namespace
}  // namespace velkctl

int main(int argc, char** argv) {
  // Nothing a user types may end velkctl in an uncaught exception; memory running out for a
  // huge file is the only one expected here.
  try {
    return velkctl::run_velkctl(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velkctl: %s\n", e.what());
    return velkctl::kExitFailure;
  }
}
