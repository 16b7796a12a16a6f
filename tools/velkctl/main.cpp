// velkctl: the command-line host for the velk library.
//
//   velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] COMMAND [ARGS] [+ COMMAND [ARGS]]...
//
// Several commands joined by "+" run one after the other on one open device, which is how a
// service session runs against the virtual device (its state lives only as long as the process).
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
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

#include "velk.h"
#include "velk_version.h"

namespace {

// Exit statuses. A failed library call exits with 10 plus its error kind (10 internal ...
// 18 timeout), so scripts can tell the kinds apart.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitKindBase = 10;

const char* const kModeNames[] = {"NA (no connection, or not answering)", "BTM", "DFU", "SQIF",
                                  "DSP"};

// velk.h: adding 65535 to a failure's code gives its error kind, 0 to 8.
constexpr std::int32_t kKindOfCode = 65535;
const char* const kKindNames[] = {"InternalError",   "LIBUSBError",      "HIDAPIError",
                                  "InvalidArgument", "EnumerationError", "DeviceError",
                                  "SpuriousError",   "InvalidImage",     "Timeout"};

// The largest persistent-store value, in words, and the DSP memory's size in bytes.
constexpr std::uint64_t kMaxPskeyWords = 118;
constexpr std::uint64_t kDspMemoryBytes = 4 * 1024 * 1024;

bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t& out) {
  std::string s(text);
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v =
      std::strtoull(s.c_str(), &end, s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 ? 16 : 10);
  if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

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
      // "14:03:07 [ERROR] message"
      constexpr std::string_view kError = " [ERROR] ";
      if (line.size() > 8 + kError.size() && line.compare(8, kError.size(), kError) == 0)
        messages.push_back(line.substr(8 + kError.size()));
      line.clear();
    }
    return messages;
  }

 private:
  std::FILE* file_ = nullptr;
  long mark_ = -1;
  std::string remove_;  // a private log that only Windows can delete at the end
};

ErrorRecords error_records;

// Says why `command` failed and gives its exit status: the library's error records for the
// call, then the code with its name.
int report_failure(std::string_view command, std::int32_t code) {
  const std::int32_t kind = code + kKindOfCode;
  const char* name = kind >= 0 && kind <= 8 ? kKindNames[kind] : "unknown error";
  const std::vector<std::string> records = error_records.since_mark();
  std::fflush(stdout);
  if (records.empty()) {
    std::fprintf(stderr, "velkctl: %.*s: failed (%s, code %d)\n", static_cast<int>(command.size()),
                 command.data(), name, code);
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::fprintf(stderr, "velkctl: %.*s: %s", static_cast<int>(command.size()), command.data(),
                 records[i].c_str());
    if (i + 1 == records.size()) std::fprintf(stderr, " (%s, code %d)", name, code);
    std::fputc('\n', stderr);
  }
  return kind >= 0 && kind <= 8 ? kExitKindBase + kind : kExitKindBase;
}

// ---- Progress on standard error. On a terminal, a bar redrawn at most ten times a second and
// once at the end; otherwise one line when the transfer has finished. An operation whose size
// is open until its end reports the count so far as both numbers; that shows as a count.

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

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
void end_progress(std::string_view command) {
  std::fflush(stdout);  // what earlier commands printed comes first, also through a pipe
  if (progress.reported && progress.terminal) {
    draw_progress(progress.done, progress.total);
    std::fputc('\n', stderr);
  } else if (progress.reported) {
    const auto done = static_cast<unsigned long long>(progress.done);
    const auto total = static_cast<unsigned long long>(progress.total);
    if (progress.total == 0 || progress.done == progress.total) {
      std::fprintf(stderr, "%.*s: %llu bytes\n", static_cast<int>(command.size()), command.data(),
                   done);
    } else {
      std::fprintf(stderr, "%.*s: %llu of %llu bytes\n", static_cast<int>(command.size()),
                   command.data(), done, total);
    }
  }
  const bool terminal = progress.terminal;
  progress = Progress{};
  progress.terminal = terminal;
}

// The whole file, read in one go into a buffer of the size the file has (when it can tell).
bool read_file(const std::string& path, std::vector<std::uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "velkctl: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  std::rewind(f);
  // One byte more than the file holds, so that the first read already meets the end.
  out.resize(size >= 0 ? static_cast<std::size_t>(size) + 1 : 65536);
  std::size_t used = 0;
  for (;;) {
    used += std::fread(out.data() + used, 1, out.size() - used, f);
    if (used < out.size() || used > 0xFFFFFFFFu) break;
    out.resize(out.size() * 2);
  }
  out.resize(used);
  bool ok = std::ferror(f) == 0;
  std::fclose(f);
  if (!ok || out.size() > 0xFFFFFFFFu) {
    std::fprintf(stderr, "velkctl: cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok) std::fprintf(stderr, "velkctl: cannot write %s\n", path.c_str());
  return ok;
}

// ---- The commands. Each gets the arguments after its name, already counted against the table,
// and returns its exit status, or kBadArguments (after usage_problem) for an argument that is
// not what the command takes. Each parses its arguments first; given kCheckOnly for the device,
// it stops there, so that every command line is checked before the device is opened.

constexpr int kBadArguments = -1;
constexpr velk_handle kCheckOnly = nullptr;

using Args = std::span<const std::string_view>;

std::string_view current_command;  // the name of the command that runs, for messages
std::string usage_problem_text;

int usage_problem(std::string text) {
  usage_problem_text = std::move(text);
  return kBadArguments;
}

// A number argument from 0 to max; false, with the problem said, otherwise.
bool number_arg(std::string_view name, std::string_view text, std::uint64_t max,
                std::uint64_t& out) {
  if (parse_number(text, max, out)) return true;
  usage_problem(std::string(name)
                    .append(" must be a number from 0 to ")
                    .append(std::to_string(max))
                    .append(", not '")
                    .append(text)
                    .append("'"));
  return false;
}

int exit_for(std::int32_t code) {
  return code >= 0 ? kExitOk : report_failure(current_command, code);
}

// The exit status of a transfer, after its progress.
int finish_transfer(std::int32_t code, const std::string& done_message) {
  end_progress(current_command);
  if (code == 0) std::printf("%s\n", done_message.c_str());
  return exit_for(code);
}

int status(velk_handle device, Args /*args*/) {
  if (device == kCheckOnly) return kExitOk;
  std::int32_t mode = velk_status(device);
  if (mode < 0) return exit_for(mode);
  std::printf("mode: %d %s\n", mode, kModeNames[mode]);
  return kExitOk;
}

int reset(velk_handle device, Args /*args*/) {
  if (device == kCheckOnly) return kExitOk;
  int status = exit_for(velk_reset(device));
  if (status == kExitOk) std::printf("reset: done\n");
  return status;
}

int pskey_get(velk_handle device, Args args) {
  std::uint64_t key = 0;
  std::uint64_t capacity = kMaxPskeyWords;
  if (!number_arg("KEY", args[0], 0xFFFF, key)) return kBadArguments;
  if (args.size() == 2 && !number_arg("N", args[1], kMaxPskeyWords, capacity)) return kBadArguments;
  if (device == kCheckOnly) return kExitOk;
  std::vector<std::uint16_t> words(capacity);
  std::int32_t n = velk_read_pskey(device, static_cast<std::uint16_t>(key), words.data(),
                                   static_cast<std::uint32_t>(capacity));
  if (n < 0) return exit_for(n);
  std::printf("pskey 0x%04x:", static_cast<unsigned>(key));
  for (std::int32_t i = 0; i < n; ++i) std::printf(" 0x%04x", words[static_cast<std::size_t>(i)]);
  std::printf("\n");
  return kExitOk;
}

int pskey_set(velk_handle device, Args args) {
  std::uint64_t key = 0;
  if (!number_arg("KEY", args[0], 0xFFFF, key)) return kBadArguments;
  std::vector<std::uint16_t> words;
  for (std::string_view arg : args.subspan(1)) {
    std::uint64_t w = 0;
    if (!number_arg("WORD", arg, 0xFFFF, w)) return kBadArguments;
    words.push_back(static_cast<std::uint16_t>(w));
  }
  if (device == kCheckOnly) return kExitOk;
  int status = exit_for(velk_write_pskey(device, static_cast<std::uint16_t>(key), words.data(),
                                         static_cast<std::uint32_t>(words.size())));
  if (status == kExitOk) std::printf("pskey 0x%04x: written\n", static_cast<unsigned>(key));
  return status;
}

int pskey_clear(velk_handle device, Args args) {
  std::uint64_t key = 0;
  if (!number_arg("KEY", args[0], 0xFFFF, key)) return kBadArguments;
  if (device == kCheckOnly) return kExitOk;
  int status = exit_for(velk_clear_pskey(device, static_cast<std::uint16_t>(key)));
  if (status == kExitOk) std::printf("pskey 0x%04x: cleared\n", static_cast<unsigned>(key));
  return status;
}

// The three flashes take a whole file and differ only in the function they call.
using Flash = std::int32_t(VELK_CALL*)(velk_handle, const uint8_t*, uint32_t, velk_progress_fn);

int flash_file(velk_handle device, Args args, Flash flash) {
  if (device == kCheckOnly) return kExitOk;
  std::vector<std::uint8_t> image;
  if (!read_file(std::string(args[0]), image)) return kExitUsage;
  return finish_transfer(
      flash(device, image.data(), static_cast<std::uint32_t>(image.size()), show_progress),
      std::string(current_command) + ": done");
}

int dump_btm(velk_handle device, Args args) {
  if (device == kCheckOnly) return kExitOk;
  const std::string file(args[0]);
  return finish_transfer(velk_dump_btm(device, file.c_str(), show_progress),
                         "dump-btm: written to " + file);
}

int write_dsp(velk_handle device, Args args) {
  std::uint64_t address = 0;
  std::vector<std::uint8_t> data;
  if (!number_arg("ADDR", args[0], 0xFFFFFFFF, address)) return kBadArguments;
  if (device == kCheckOnly) return kExitOk;
  if (!read_file(std::string(args[1]), data)) return kExitUsage;
  return finish_transfer(velk_write_dsp(device, static_cast<std::uint32_t>(address), data.data(),
                                        static_cast<std::uint32_t>(data.size()), show_progress),
                         "write-dsp: done");
}

int read_dsp(velk_handle device, Args args) {
  std::uint64_t address = 0;
  std::uint64_t length = 0;
  if (!number_arg("ADDR", args[0], kDspMemoryBytes - 1, address) ||
      !number_arg("LEN", args[1], kDspMemoryBytes, length))
    return kBadArguments;
  // Checked before the buffer is allocated: the DSP memory holds 4 MiB.
  if (address + length > kDspMemoryBytes)
    return usage_problem("ADDR + LEN must not pass the end of the 4 MiB DSP memory (0x400000)");
  if (device == kCheckOnly) return kExitOk;
  const std::string file(args[2]);
  std::vector<std::uint8_t> data(length);
  std::int32_t code = velk_read_dsp(device, static_cast<std::uint32_t>(address), data.data(),
                                    static_cast<std::uint32_t>(length), show_progress);
  if (code == 0 && !write_file(file, data)) {
    end_progress(current_command);
    return kExitUsage;
  }
  return finish_transfer(code, "read-dsp: written to " + file);
}

struct Command {
  std::string_view name;  // one or two words
  std::string_view args;  // as the help shows them
  std::string_view help;
  std::size_t min_args;
  std::size_t max_args;
  int (*run)(velk_handle, Args);
};

constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();

constexpr Command kCommands[] = {
    {"status", "", "print the device's mode", 0, 0, status},
    {"reset", "", "restart the device and wait until it is back", 0, 0, reset},
    {"pskey get", "KEY [N]", "read a persistent-store key (up to N words, 118 at most and default)",
     1, 2, pskey_get},
    {"pskey set", "KEY WORD...", "write a persistent-store key (up to 118 words)", 1, kAny,
     pskey_set},
    {"pskey clear", "KEY", "clear a persistent-store key", 1, 1, pskey_clear},
    {"flash-btm", "FILE", "flash the Bluetooth-module firmware from a DFU file", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_btm); }},
    {"dump-btm", "FILE", "read the Bluetooth-module firmware into a DFU file", 1, 1, dump_btm},
    {"flash-sqif", "FILE", "flash the serial flash from an xuv image", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_sqif); }},
    {"flash-dsp", "FILE", "flash the DSP memory from an FF image", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_dsp); }},
    {"write-dsp", "ADDR FILE", "write a file's bytes into DSP memory at ADDR", 2, 2, write_dsp},
    {"read-dsp", "ADDR LEN FILE", "read LEN bytes of DSP memory at ADDR into FILE", 3, 3, read_dsp},
};

// "pskey get KEY [N]": the command's name and its arguments.
std::string synopsis(const Command& command) {
  std::string text(command.name);
  if (!command.args.empty()) text.append(" ").append(command.args);
  return text;
}

constexpr const char* kSynopsis =
    "velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] COMMAND [ARGS] [+ COMMAND [ARGS]]...";

void print_help() {
  std::printf(
      "velkctl %s: firmware service for the Tavrin Systems Vexo, through the velk library\n"
      "\n"
      "usage: %s\n"
      "       velkctl --help | --version\n"
      "\n"
      "commands:\n",
      VELK_VERSION_STRING, kSynopsis);
  for (const Command& command : kCommands) {
    std::printf("  %-22s %.*s\n", synopsis(command).c_str(), static_cast<int>(command.help.size()),
                command.help.data());
  }
  std::fputs(
      "\n"
      "Commands joined by + run one after another on one open device. Numbers are decimal or\n"
      "0x-prefixed hexadecimal. Transfers show a progress bar on standard error when it is a\n"
      "terminal, and one line per finished transfer otherwise.\n"
      "\n"
      "options:\n"
      "  --sim[=SCENARIO]  run against the virtual device (Linux): vexo (the default), vexo-dfu,\n"
      "                    vexo-sqif, vexo-dsp, vexo-dfu-firmware, vexo-dfu-firmware-1m,\n"
      "                    vexo-no-self-detach, two, none\n"
      "  --log FILE        write the library's log to FILE (level 4, debug, by default)\n"
      "  --log-level N     the log's level: 1 error, 2 warn, 3 info, 4 debug, 5 trace\n"
      "  -h, --help        show this help\n"
      "  --version         show velkctl's version\n"
      "\n"
      "A failure is explained on standard error with the library's error record.\n"
      "exit status: 0 ok, 2 usage, 3 no device opened, 10 + the error kind of a failed call\n"
      "  (10 internal, 11 libusb, 12 hidapi, 13 invalid argument, 14 enumeration, 15 device,\n"
      "   16 spurious event, 17 invalid image, 18 timeout)\n",
      stdout);
}

// A usage error: what is wrong, then the usage line of the command, or the general one.
int usage_error(const std::string& problem, const Command* command = nullptr) {
  std::fprintf(stderr, "velkctl: %s\n", problem.c_str());
  if (command != nullptr) {
    std::fprintf(stderr, "usage: velkctl [OPTIONS] %s\n", synopsis(*command).c_str());
  } else {
    std::fprintf(stderr, "usage: %s\n", kSynopsis);
  }
  std::fputs("(velkctl --help lists the commands)\n", stderr);
  return kExitUsage;
}

// The number of leading words of `args` that spell the command's name, or 0.
std::size_t name_words(const Command& command, Args args) {
  std::size_t words = 0;
  for (std::string_view rest = command.name; !rest.empty(); ++words) {
    const std::size_t space = rest.find(' ');
    if (words >= args.size() || args[words] != rest.substr(0, space)) return 0;
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  }
  return words;
}

// The command that `args` start with, and how many words its name takes.
const Command* find_command(Args args, std::size_t& words) {
  for (const Command& command : kCommands) {
    words = name_words(command, args);
    if (words != 0) return &command;
  }
  return nullptr;
}

// Checks a command line before the device is opened: a name from the table, the number of
// arguments it takes, and the arguments themselves.
int check_command(Args args) {
  std::size_t words = 0;
  const Command* command = find_command(args, words);
  if (command == nullptr) {
    std::string line;
    for (std::string_view arg : args) line.append(line.empty() ? "" : " ").append(arg);
    return usage_error(std::string("unknown command '").append(line).append("'"));
  }
  const std::size_t given = args.size() - words;
  if (given < command->min_args || given > command->max_args) {
    return usage_error(std::string(command->name) + ": wrong number of arguments", command);
  }
  if (command->run(kCheckOnly, args.subspan(words)) == kBadArguments)
    return usage_error(std::string(command->name) + ": " + usage_problem_text, command);
  return kExitOk;
}

// Runs one command; returns the exit status.
int run(velk_handle device, Args args) {
  std::size_t words = 0;
  const Command* command = find_command(args, words);
  current_command = command->name;
  error_records.mark();
  return command->run(device, args.subspan(words));
}

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

}  // namespace

int main(int argc, char** argv) {
  std::string log_path;
  std::uint64_t log_level = 0;
  bool sim = false;
  std::string scenario = "vexo";
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--sim") {
      sim = true;
    } else if (arg.rfind("--sim=", 0) == 0) {
      sim = true;
      scenario = std::string(arg.substr(6));
    } else if (arg == "--log" || arg == "--log-level") {
      if (i + 1 == argc) return usage_error(std::string(arg) + " needs a value");
      if (arg == "--log") {
        log_path = argv[++i];
        if (log_level == 0) log_level = 4;
      } else if (!parse_number(argv[++i], 0xFFFFFFFF, log_level)) {
        return usage_error(std::string("--log-level must be a number, not '").append(argv[i]) +
                           "'");
      }
    } else if (arg == "-h" || arg == "--help") {
      print_help();
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("velkctl %s\n", VELK_VERSION_STRING);
      return kExitOk;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error(std::string("unknown option '").append(arg) + "'");
    } else {
      break;
    }
  }

  std::vector<std::vector<std::string_view>> commands(1);
  for (; i < argc; ++i) {
    if (std::string_view(argv[i]) == "+") {
      commands.emplace_back();
    } else {
      commands.back().emplace_back(argv[i]);
    }
  }
  if (commands.size() == 1 && commands.front().empty()) return usage_error("no command given");
  for (const auto& command : commands) {
    if (command.empty()) return usage_error("an empty command next to '+'");
    if (const int status = check_command(command); status != kExitOk) return status;
  }

  if (sim && std::getenv("VELKCTL_SIM_ACTIVE") == nullptr) {
#ifdef _WIN32
    std::fputs("velkctl: the virtual device is available in Linux builds only\n", stderr);
    return kExitUsage;
#else
    restart_with_virtual_device(argv, scenario);
#endif
  }

  progress.terminal = stderr_is_terminal();
  if (!log_path.empty() || log_level != 0) {
    std::int32_t code = velk_init(log_path.c_str(), static_cast<std::uint32_t>(log_level));
    if (code != 0) {
      std::fprintf(stderr, "velkctl: cannot set up the log file '%s' (%d)\n", log_path.c_str(),
                   code);
      return kExitKindBase + (code + kKindOfCode);
    }
    error_records.watch(log_path);
  } else {
    error_records.open_private();
  }

  error_records.mark();
  velk_handle device = velk_open();
  if (device == nullptr) {
    const std::vector<std::string> records = error_records.since_mark();
    std::fputs("velkctl: no device opened", stderr);
    for (const std::string& record : records) std::fprintf(stderr, ": %s", record.c_str());
    if (records.empty())
      std::fputs(" (none attached, more than one, or it did not answer)", stderr);
    std::fputc('\n', stderr);
    return kExitNoDevice;
  }
  int status = kExitOk;
  for (const auto& command : commands) {
    status = run(device, command);
    if (status != kExitOk) break;
  }
  velk_close(device);
  return status;
}
