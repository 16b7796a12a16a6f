// velkctl's command line as typed commands: the table of commands, the parse of argv into them,
// and the check of every input and output before the device is opened. Nothing here touches a
// device; files are reached through a Files object, so that a test or a fuzzer can stand in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velk/src/c/error.h"

namespace velkctl {

// Exit statuses. A failed library call exits with 10 plus its error kind (10 internal ...
// 18 timeout), so scripts can tell the kinds apart.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // velkctl's own trouble: memory, a file it cannot write
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoDevice = 3;
inline constexpr int kExitVerify = 4;
inline constexpr int kExitKindBase = 10;
inline constexpr int kExitInterrupted = 130;  // as a shell reports a process ended by SIGINT

constexpr int exit_for(velk::ErrorKind kind) {
  return kExitKindBase + static_cast<int>(kind);
}

// A file the command reads: a path, or "-" for standard input. Its bytes are read and checked
// before the device is opened, and the command uses those bytes, not the file again.
struct Input {
  std::string path;
  std::vector<std::uint8_t> bytes;
  // Written by an earlier command of the chain (dump-btm F + flash-btm F): read and checked
  // just before its own command runs.
  bool deferred = false;
};

// A file the command writes: a path, or "-" for standard output.
struct Output {
  std::string path;
  bool force = false;  // replace an existing file

  bool is_stdout() const { return path == "-"; }
};

namespace command {
struct Status {};
struct Reset {};
struct List {};
struct PskeyGet {
  std::uint16_t key;
  std::uint32_t capacity;
};
struct PskeySet {
  std::uint16_t key;
  std::vector<std::uint16_t> words;
};
struct PskeyClear {
  std::uint16_t key;
};
struct FlashBtm {
  Input file;
  bool verify;
};
struct DumpBtm {
  Output file;
};
struct FlashSqif {
  Input file;
  bool erase;
  bool erase_only = false;  // the image has no data line (found by the check)
};
struct FlashDsp {
  Input file;
  bool verify;
};
struct WriteDsp {
  std::uint32_t address;
  Input file;
  bool verify;
};
struct ReadDsp {
  std::uint32_t address;
  std::uint32_t length;
  Output file;
};
struct Check {
  std::vector<Input> files;
};
struct Help {
  std::string topic;  // a command's name, or empty for the overview
};
}  // namespace command

using Command = std::variant<command::Status, command::Reset, command::List, command::PskeyGet,
                             command::PskeySet, command::PskeyClear, command::FlashBtm,
                             command::DumpBtm, command::FlashSqif, command::FlashDsp,
                             command::WriteDsp, command::ReadDsp, command::Check, command::Help>;

// Why a command line or one of its files cannot be used: one line, naming the argument or file.
struct Problem {
  int exit_status;
  std::string message;
  std::string usage;  // the usage lines to show after a usage error, or empty
};

template <class T>
using Parsed = std::expected<T, Problem>;

// The words of one command after its name: positional arguments and its own options.
struct Words {
  std::vector<std::string_view> args;
  std::vector<std::string_view> options;  // "--verify", "--force", ...

  bool has(std::string_view option) const;
};

struct OptionInfo {
  std::string_view name;  // "--verify"
  std::string_view help;
};

struct CommandInfo {
  std::string_view name;     // one or two words
  std::string_view args;     // as the help shows them
  std::string_view summary;  // one line
  std::string_view details;  // more lines for `velkctl help COMMAND`, may be empty
  std::span<const OptionInfo> options;
  std::size_t min_args;
  std::size_t max_args;
  bool needs_device;
  Parsed<Command> (*parse)(const Words& words);
};

std::span<const CommandInfo> commands();
const CommandInfo* find_command(std::string_view name);
// "pskey get KEY [N]"
std::string synopsis(const CommandInfo& command);

// One command of a chain: which it is and its typed arguments.
struct Step {
  const CommandInfo* info;
  Command command;
};

struct Options {
  bool sim = false;
  std::string scenario = "vexo";
  std::string log_path;
  std::uint32_t log_level = 0;
  bool json = false;
  bool help = false;
  bool version = false;
};

struct Invocation {
  Options options;
  std::vector<Step> steps;
};

// The whole command line, without argv[0].
Parsed<Invocation> parse_command_line(std::span<const std::string_view> args);

// Reaching the file system, for the checks.
class Files {
 public:
  virtual ~Files() = default;
  // The whole file, or a one-line reason ("no such file", "is a directory", ...). "-" is
  // standard input.
  virtual std::expected<std::vector<std::uint8_t>, std::string> read(const std::string& path) = 0;
  // Why a new file cannot be written at `path`, or nothing when it can.
  virtual std::optional<std::string> cannot_write(const Output& output) = 0;
};

// Reads every input of the chain and checks it with the library's format code, and checks every
// output path. The first problem found is returned; the device has not been opened by then.
Parsed<void> check_steps(Invocation& invocation, Files& files);
// The same check for one command whose input an earlier command wrote, run just before it.
Parsed<void> check_deferred(const Invocation& invocation, Step& step, Files& files);

// The help texts.
std::string overview_help();
std::string command_help(const CommandInfo& command);

// What `check` says about one file, and whether the device would take it.
struct FileReport {
  bool valid = false;
  std::string format;              // "DFU file", "xuv image", "FF image", or "unknown"
  std::vector<std::string> lines;  // what it holds, human-readable
  std::vector<std::pair<std::string, std::string>> fields;  // the same for JSON (raw values)
  std::string problem;                                      // why it is not valid
};
FileReport inspect_file(std::string_view path, std::span<const std::uint8_t> bytes);

std::string json_string(std::string_view text);

// The USB identities velkctl looks for, from the library's identity table: "7a11:odd (DFU)".
std::string identities_text();

}  // namespace velkctl
