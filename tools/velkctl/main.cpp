// velkctl: the command-line host for the velk library.
//
//   velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] COMMAND [ARGS] [+ COMMAND [ARGS]]...
//
// Several commands joined by "+" run one after the other on one open device, which is how a
// service session runs against the virtual device (its state lives only as long as the process).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "velk.h"

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

// A progress bar on standard error. An operation whose size is open until its end reports the
// count so far as both numbers; that shows as a count without a bar.
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

// The library reports after every block, a thousand times for a megabyte of firmware; the line
// is redrawn only when its percentage, or a count's 64 KiB step, changes.
struct ProgressLine {
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::uint64_t drawn_step = ~std::uint64_t{0};
  bool drawn = true;
};
ProgressLine progress_line;

// A count's steps are kept apart from a bar's percentages by the top bit.
std::uint64_t progress_step(std::uint64_t done, std::uint64_t total) {
  if (total == 0 || done == total) return (std::uint64_t{1} << 63) | (done >> 16);
  return done * 100 / total;
}

void VELK_CALL show_progress(std::uint64_t done, std::uint64_t total) {
  ProgressLine& line = progress_line;
  line.done = done;
  line.total = total;
  const std::uint64_t step = progress_step(done, total);
  line.drawn = step != line.drawn_step;
  if (!line.drawn) return;
  draw_progress(done, total);
  line.drawn_step = step;
}

// After a transfer: the last report as it was, then the end of the line.
void end_progress() {
  ProgressLine& line = progress_line;
  if (!line.drawn) draw_progress(line.done, line.total);
  line = ProgressLine{};
  std::fputc('\n', stderr);
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

int exit_for(std::int32_t code) {
  if (code >= 0) return kExitOk;
  std::fprintf(stderr, "velkctl: failed with code %d (see the log for the reason)\n", code);
  return kExitKindBase + (code + kKindOfCode);
}

// The exit status of a transfer, after the line that ends its progress bar.
int finish_transfer(std::int32_t code, const std::string& done_message) {
  end_progress();
  if (code == 0) std::printf("%s\n", done_message.c_str());
  return exit_for(code);
}

// ---- The commands. Each gets the arguments after its name, already counted against the table,
// and returns its exit status, or kBadArguments for an argument that does not parse.

constexpr int kBadArguments = -1;

using Args = std::span<const std::string_view>;

int status(velk_handle device, Args /*args*/) {
  std::int32_t mode = velk_status(device);
  if (mode < 0) return exit_for(mode);
  std::printf("mode: %d %s\n", mode, kModeNames[mode]);
  return kExitOk;
}

int reset(velk_handle device, Args /*args*/) {
  int status = exit_for(velk_reset(device));
  if (status == kExitOk) std::printf("reset: done\n");
  return status;
}

int pskey_get(velk_handle device, Args args) {
  std::uint64_t key = 0;
  std::uint64_t capacity = 118;
  if (!parse_number(args[0], 0xFFFF, key)) return kBadArguments;
  if (args.size() == 2 && !parse_number(args[1], 0xFFFFFFFF, capacity)) return kBadArguments;
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
  if (!parse_number(args[0], 0xFFFF, key)) return kBadArguments;
  std::vector<std::uint16_t> words;
  for (std::string_view arg : args.subspan(1)) {
    std::uint64_t w = 0;
    if (!parse_number(arg, 0xFFFF, w)) return kBadArguments;
    words.push_back(static_cast<std::uint16_t>(w));
  }
  int status = exit_for(velk_write_pskey(device, static_cast<std::uint16_t>(key), words.data(),
                                         static_cast<std::uint32_t>(words.size())));
  if (status == kExitOk) std::printf("pskey 0x%04x: written\n", static_cast<unsigned>(key));
  return status;
}

int pskey_clear(velk_handle device, Args args) {
  std::uint64_t key = 0;
  if (!parse_number(args[0], 0xFFFF, key)) return kBadArguments;
  int status = exit_for(velk_clear_pskey(device, static_cast<std::uint16_t>(key)));
  if (status == kExitOk) std::printf("pskey 0x%04x: cleared\n", static_cast<unsigned>(key));
  return status;
}

// The three flashes take a whole file and differ only in the function they call.
using Flash = std::int32_t(VELK_CALL*)(velk_handle, const uint8_t*, uint32_t, velk_progress_fn);

int flash_file(velk_handle device, Args args, Flash flash, const char* name) {
  std::vector<std::uint8_t> image;
  if (!read_file(std::string(args[0]), image)) return kExitUsage;
  return finish_transfer(
      flash(device, image.data(), static_cast<std::uint32_t>(image.size()), show_progress),
      std::string(name) + ": done");
}

int dump_btm(velk_handle device, Args args) {
  const std::string file(args[0]);
  return finish_transfer(velk_dump_btm(device, file.c_str(), show_progress),
                         "dump-btm: written to " + file);
}

int write_dsp(velk_handle device, Args args) {
  std::uint64_t address = 0;
  std::vector<std::uint8_t> data;
  if (!parse_number(args[0], 0xFFFFFFFF, address)) return kBadArguments;
  if (!read_file(std::string(args[1]), data)) return kExitUsage;
  return finish_transfer(velk_write_dsp(device, static_cast<std::uint32_t>(address), data.data(),
                                        static_cast<std::uint32_t>(data.size()), show_progress),
                         "write-dsp: done");
}

int read_dsp(velk_handle device, Args args) {
  std::uint64_t address = 0;
  std::uint64_t length = 0;
  if (!parse_number(args[0], 0xFFFFFFFF, address) || !parse_number(args[1], 0xFFFFFFFF, length))
    return kBadArguments;
  const std::string file(args[2]);
  std::vector<std::uint8_t> data(length);
  std::int32_t code = velk_read_dsp(device, static_cast<std::uint32_t>(address), data.data(),
                                    static_cast<std::uint32_t>(length), show_progress);
  if (code == 0 && !write_file(file, data)) {
    std::fputc('\n', stderr);
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
    {"pskey get", "KEY [N]", "read a persistent-store key (up to N words, default 118)", 1, 2,
     pskey_get},
    {"pskey set", "KEY WORD...", "write a persistent-store key", 1, kAny, pskey_set},
    {"pskey clear", "KEY", "clear a persistent-store key", 1, 1, pskey_clear},
    {"flash-btm", "FILE", "flash the Bluetooth-module firmware from a DFU file", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_btm, "flash-btm"); }},
    {"dump-btm", "FILE", "read the Bluetooth-module firmware into a DFU file", 1, 1, dump_btm},
    {"flash-sqif", "FILE", "flash the serial flash from an xuv image", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_sqif, "flash-sqif"); }},
    {"flash-dsp", "FILE", "flash the DSP memory from an FF image", 1, 1,
     [](velk_handle d, Args a) { return flash_file(d, a, velk_flash_dsp, "flash-dsp"); }},
    {"write-dsp", "ADDR FILE", "write a file's bytes into DSP memory at ADDR", 2, 2, write_dsp},
    {"read-dsp", "ADDR LEN FILE", "read LEN bytes of DSP memory at ADDR into FILE", 3, 3, read_dsp},
};

void print_usage(std::FILE* out) {
  std::fputs(
      "usage: velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] COMMAND [ARGS] [+ COMMAND "
      "[ARGS]]...\n"
      "commands:\n",
      out);
  for (const Command& command : kCommands) {
    std::string synopsis(command.name);
    if (!command.args.empty()) synopsis += " " + std::string(command.args);
    std::fprintf(out, "  %-22s %.*s\n", synopsis.c_str(), static_cast<int>(command.help.size()),
                 command.help.data());
  }
  std::fputs(
      "numbers are decimal or 0x-prefixed hexadecimal\n"
      "--sim runs against the virtual device (scenarios: vexo, vexo-dfu, vexo-sqif, vexo-dsp, "
      "two, none)\n"
      "exit status: 0 ok, 2 usage, 3 no device opened, 10+kind for a failed call\n"
      "  (10 internal, 11 libusb, 12 hidapi, 13 invalid argument, 14 enumeration, 15 device,\n"
      "   16 spurious event, 17 invalid image, 18 timeout)\n",
      out);
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

// Runs one command; returns the exit status.
int run(velk_handle device, Args args) {
  for (const Command& command : kCommands) {
    const std::size_t words = name_words(command, args);
    if (words == 0) continue;
    const Args rest = args.subspan(words);
    if (rest.size() < command.min_args || rest.size() > command.max_args) break;
    const int status = command.run(device, rest);
    if (status != kBadArguments) return status;
    break;
  }
  print_usage(stderr);
  return kExitUsage;
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
  std::string dir = self.substr(0, self.rfind('/'));
  std::string preload = dir + "/libvelk_sim_preload.so";
  if (access(preload.c_str(), R_OK) != 0) preload = VELKCTL_SIM_PRELOAD;
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
    } else if (arg == "--log" && i + 1 < argc) {
      log_path = argv[++i];
      if (log_level == 0) log_level = 4;
    } else if (arg == "--log-level" && i + 1 < argc) {
      if (!parse_number(argv[++i], 0xFFFFFFFF, log_level)) {
        print_usage(stderr);
        return kExitUsage;
      }
    } else if (arg == "-h" || arg == "--help") {
      print_usage(stdout);
      return kExitOk;
    } else {
      break;
    }
  }

  if (sim && std::getenv("VELKCTL_SIM_ACTIVE") == nullptr) {
#ifdef _WIN32
    std::fputs("velkctl: the virtual device is available in Linux builds only\n", stderr);
    return kExitUsage;
#else
    restart_with_virtual_device(argv, scenario);
#endif
  }

  std::vector<std::vector<std::string_view>> commands(1);
  for (; i < argc; ++i) {
    if (std::string_view(argv[i]) == "+") {
      commands.emplace_back();
    } else {
      commands.back().emplace_back(argv[i]);
    }
  }
  if (commands.front().empty()) {
    print_usage(stderr);
    return kExitUsage;
  }

  if (!log_path.empty() || log_level != 0) {
    std::int32_t code = velk_init(log_path.c_str(), static_cast<std::uint32_t>(log_level));
    if (code != 0) {
      std::fprintf(stderr, "velkctl: cannot set up the log file '%s' (%d)\n", log_path.c_str(),
                   code);
      return exit_for(code);
    }
  }

  velk_handle device = velk_open();
  if (device == nullptr) {
    std::fputs(
        "velkctl: no device opened (none attached, more than one, or it did not answer; see the "
        "log)\n",
        stderr);
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
