#include "command_line.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "velk/src/c/limits.h"
#include "velk/src/device/dfu/dfu_file.h"
#include "velk/src/device/dsp/dsp_layout.h"
#include "velk/src/device/dsp/ff.h"
#include "velk/src/device/dsp/loader_image.h"
#include "velk/src/device/identity.h"
#include "velk/src/device/sqif/xuv.h"
#include "velk_version.h"

namespace velkctl {
namespace {

using velk::ErrorKind;

constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();
// The DSP memory's size: where its last region ends.
constexpr std::uint32_t kDspMemoryBytes = velk::dsp::kDspRegions.back().last + 1;
// The help texts, the man page and the README give the two numbers.
static_assert(velk::kPskeyMaxWords == 118 && kDspMemoryBytes == 4 * 1024 * 1024);

constexpr std::string_view kGeneralSynopsis =
    "velkctl [--sim[=SCENARIO]] [--log FILE] [--log-level N] [--json] COMMAND [ARGS]\n"
    "               [+ COMMAND [ARGS]]...";

std::string general_usage() {
  return fmt::format("usage: {}\n(velkctl --help lists the commands)", kGeneralSynopsis);
}

std::string usage_of(const CommandInfo& info) {
  return fmt::format("usage: velkctl [OPTIONS] {}\n(velkctl help {} tells more)", synopsis(info),
                     info.name);
}

std::unexpected<Problem> usage_problem(const CommandInfo& info, std::string what) {
  return std::unexpected(
      Problem{kExitUsage, fmt::format("{}: {}", info.name, what), usage_of(info)});
}

// Decimal, or hexadecimal with 0x; 0 to max.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    if (value > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

// A number argument of the command from 0 to max.
Parsed<std::uint64_t> number(const CommandInfo& info, std::string_view name, std::string_view text,
                             std::uint64_t max) {
  if (auto value = parse_number(text, max)) return *value;
  return usage_problem(info,
                       fmt::format("{} must be a number from 0 to {}, not '{}'", name, max, text));
}

// Each command's parse: its words to its typed command. The table below names them.
const CommandInfo& info_of(std::string_view name) {
  return *find_command(name);
}

#define VELKCTL_TRY(var, expr)                                       \
  auto var##_parsed_ = (expr);                                       \
  if (!var##_parsed_) return std::unexpected(var##_parsed_.error()); \
  auto var = *var##_parsed_

Parsed<Command> parse_status(const Words&) {
  return command::Status{};
}
Parsed<Command> parse_reset(const Words&) {
  return command::Reset{};
}
Parsed<Command> parse_list(const Words&) {
  return command::List{};
}

Parsed<Command> parse_pskey_get(const Words& w) {
  const CommandInfo& info = info_of("pskey get");
  VELKCTL_TRY(key, number(info, "KEY", w.args[0], 0xFFFF));
  std::uint64_t capacity = velk::kPskeyMaxWords;
  if (w.args.size() == 2) {
    VELKCTL_TRY(n, number(info, "N", w.args[1], velk::kPskeyMaxWords));
    capacity = n;
  }
  return command::PskeyGet{static_cast<std::uint16_t>(key), static_cast<std::uint32_t>(capacity)};
}

Parsed<Command> parse_pskey_set(const Words& w) {
  const CommandInfo& info = info_of("pskey set");
  VELKCTL_TRY(key, number(info, "KEY", w.args[0], 0xFFFF));
  // An empty value is what `pskey clear` is for; a forgotten word must not write one.
  if (w.args.size() < 2) return usage_problem(info, "give at least one WORD");
  if (w.args.size() - 1 > velk::kPskeyMaxWords) {
    return usage_problem(info, fmt::format("at most {} words fit in a key, not {}",
                                           velk::kPskeyMaxWords, w.args.size() - 1));
  }
  command::PskeySet set{static_cast<std::uint16_t>(key), {}};
  for (std::string_view arg : std::span(w.args).subspan(1)) {
    VELKCTL_TRY(word, number(info, "WORD", arg, 0xFFFF));
    set.words.push_back(static_cast<std::uint16_t>(word));
  }
  return set;
}

Parsed<Command> parse_pskey_clear(const Words& w) {
  VELKCTL_TRY(key, number(info_of("pskey clear"), "KEY", w.args[0], 0xFFFF));
  return command::PskeyClear{static_cast<std::uint16_t>(key)};
}

Parsed<Command> parse_flash_btm(const Words& w) {
  return command::FlashBtm{{std::string(w.args[0]), {}}, w.has("--verify")};
}

Parsed<Command> parse_dump_btm(const Words& w) {
  return command::DumpBtm{{std::string(w.args[0]), w.has("--force")}};
}

Parsed<Command> parse_flash_sqif(const Words& w) {
  const bool erase = w.has("--erase");
  if (w.args.empty() && !erase)
    return usage_problem(info_of("flash-sqif"), "give the FILE, or --erase alone to erase");
  return command::FlashSqif{{w.args.empty() ? std::string() : std::string(w.args[0]), {}}, erase};
}

Parsed<Command> parse_flash_dsp(const Words& w) {
  return command::FlashDsp{{std::string(w.args[0]), {}}, w.has("--verify")};
}

Parsed<Command> parse_write_dsp(const Words& w) {
  VELKCTL_TRY(address, number(info_of("write-dsp"), "ADDR", w.args[0], 0xFFFFFFFF));
  return command::WriteDsp{
      static_cast<std::uint32_t>(address), {std::string(w.args[1]), {}}, w.has("--verify")};
}

Parsed<Command> parse_read_dsp(const Words& w) {
  const CommandInfo& info = info_of("read-dsp");
  VELKCTL_TRY(address, number(info, "ADDR", w.args[0], kDspMemoryBytes - 1));
  VELKCTL_TRY(length, number(info, "LEN", w.args[1], kDspMemoryBytes));
  // Checked before the buffer is allocated: the DSP memory holds 4 MiB.
  if (address + length > kDspMemoryBytes)
    return usage_problem(info,
                         "ADDR + LEN must not pass the end of the 4 MiB DSP memory (0x400000)");
  return command::ReadDsp{static_cast<std::uint32_t>(address),
                          static_cast<std::uint32_t>(length),
                          {std::string(w.args[2]), w.has("--force")}};
}

Parsed<Command> parse_check(const Words& w) {
  command::Check check;
  for (std::string_view arg : w.args) check.files.push_back({std::string(arg), {}});
  return check;
}

Parsed<Command> parse_help(const Words& w) {
  std::string topic;
  for (std::string_view arg : w.args) topic.append(topic.empty() ? "" : " ").append(arg);
  if (!topic.empty() && find_command(topic) == nullptr) {
    return usage_problem(info_of("help"), fmt::format("no command named '{}'", topic));
  }
  return command::Help{topic};
}

#undef VELKCTL_TRY

constexpr OptionInfo kVerifyBtm[] = {
    {"--verify", "read the firmware back and compare it (costs a second transfer, an upload)"}};
constexpr OptionInfo kVerifyDsp[] = {
    {"--verify",
     "read the written bytes back and compare them (costs a second switch into the "
     "DSP loader)"}};
constexpr OptionInfo kForce[] = {{"--force", "replace FILE when it exists"}};
constexpr OptionInfo kErase[] = {
    {"--erase", "allow an image without data lines, or no FILE at all: that erases the flash"}};

constexpr CommandInfo kCommands[] = {
    {"status", "", "print the device's mode", "", {}, 0, 0, true, parse_status},
    {"reset", "", "restart the device and wait until it is back", "", {}, 0, 0, true, parse_reset},
    {"list",
     "",
     "list the attached Vexo devices (opens none)",
     "Shows every USB device with one of the Vexo's identities: its mode, vendor:product, bus\n"
     "and port path, and whether it can be opened. Does not need exactly one device.",
     {},
     0,
     0,
     false,
     parse_list},
    {"pskey get",
     "KEY [N]",
     "read a persistent-store key (up to N words, default 118)",
     "",
     {},
     1,
     2,
     true,
     parse_pskey_get},
    {"pskey set",
     "KEY WORD...",
     "write a persistent-store key (1 to 118 words)",
     "An empty value is not written; `pskey clear KEY` removes a key.",
     {},
     1,
     kAny,
     true,
     parse_pskey_set},
    {"pskey clear", "KEY", "clear a persistent-store key", "", {}, 1, 1, true, parse_pskey_clear},
    {"flash-btm", "[--verify] FILE", "flash the Bluetooth-module firmware from a DFU file",
     "The file's DFU suffix must name a Vexo in DFU mode and its CRC must hold; both are checked\n"
     "before the device is touched.",
     kVerifyBtm, 1, 1, true, parse_flash_btm},
    {"dump-btm", "[--force] FILE", "read the Bluetooth-module firmware into a DFU file",
     "FILE - writes the DFU file to standard output.", kForce, 1, 1, true, parse_dump_btm},
    {"flash-sqif", "[--erase] FILE", "flash the serial flash from an xuv image",
     "Flashing always erases the serial flash first. An image without data lines erases it and\n"
     "writes nothing, so it needs --erase; `flash-sqif --erase` alone does the same.",
     kErase, 0, 1, true, parse_flash_sqif},
    {"flash-dsp", "[--verify] FILE", "flash the DSP memory from an FF image",
     "Every section must lie above the protected loader (0x10000) and inside the 4 MiB flash;\n"
     "erase sections must cover whole sectors.",
     kVerifyDsp, 1, 1, true, parse_flash_dsp},
    {"write-dsp", "[--verify] ADDR FILE", "write a file's bytes into DSP memory at ADDR",
     "Below 0x10000 only a loader image at address 0 is accepted.", kVerifyDsp, 2, 2, true,
     parse_write_dsp},
    {"read-dsp", "[--force] ADDR LEN FILE", "read LEN bytes of DSP memory at ADDR into FILE",
     "FILE - writes the bytes to standard output.", kForce, 3, 3, true, parse_read_dsp},
    {"check",
     "FILE...",
     "say what each file is and whether the device takes it",
     "DFU files: the suffix's vendor, product and release, the CRC, the image size and the\n"
     "identity it is for. xuv images: words, address range, image size, gaps. FF images: the\n"
     "sections with their address ranges and sectors. Exit 0 when every file is valid.",
     {},
     1,
     kAny,
     false,
     parse_check},
    {"help",
     "[COMMAND]",
     "show the help of velkctl or of one command",
     "",
     {},
     0,
     2,
     false,
     parse_help},
};

// The number of leading words of `words` that spell the command's name, or 0.
std::size_t name_words(const CommandInfo& info, std::span<const std::string_view> words) {
  std::size_t n = 0;
  for (std::string_view rest = info.name; !rest.empty(); ++n) {
    const std::size_t space = rest.find(' ');
    if (n >= words.size() || words[n] != rest.substr(0, space)) return 0;
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  }
  return n;
}

bool is_option(std::string_view word) {
  return word.size() > 2 && word.starts_with("--");
}

Parsed<Step> parse_step(std::span<const std::string_view> words, bool& json) {
  std::size_t n = 0;
  const CommandInfo* info = nullptr;
  for (const CommandInfo& candidate : kCommands) {
    if ((n = name_words(candidate, words)) != 0) {
      info = &candidate;
      break;
    }
  }
  if (info == nullptr) {
    std::string line;
    for (std::string_view word : words) line.append(line.empty() ? "" : " ").append(word);
    return std::unexpected(
        Problem{kExitUsage, fmt::format("unknown command '{}'", line), general_usage()});
  }
  Words w;
  for (std::string_view word : words.subspan(n)) {
    if (word == "--help" || word == "-h")
      return Step{find_command("help"), command::Help{std::string(info->name)}};
    if (word == "--json") {
      json = true;
    } else if (!is_option(word)) {
      w.args.push_back(word);
    } else if (std::any_of(info->options.begin(), info->options.end(),
                           [&](const OptionInfo& o) { return o.name == word; })) {
      w.options.push_back(word);
    } else {
      return usage_problem(*info, fmt::format("unknown option '{}'", word));
    }
  }
  if (w.args.size() < info->min_args || w.args.size() > info->max_args)
    return usage_problem(*info, "wrong number of arguments");
  auto command = info->parse(w);
  if (!command) return std::unexpected(command.error());
  return Step{info, std::move(*command)};
}

// ---- Checks of the inputs, with the library's format code.

std::unexpected<Problem> image_problem(const CommandInfo& info, const Input& input,
                                       const velk::Error& error) {
  return std::unexpected(Problem{exit_for(error.kind()),
                                 fmt::format("{}: {}: {}", info.name, input.path, error.display()),
                                 {}});
}

// A DFU file for the Vexo: the library's own check of the suffix and the CRC, then the identity
// it names must be the Vexo's boot loader's. (The library compares the identity first, with the
// device's; offline there is none, and a file that is no DFU file is better called so.)
velk::Status check_dfu_for_vexo(std::span<const std::uint8_t> bytes) {
  VELK_TRY_ASSIGN(suffix, velk::dfu::read_dfu_suffix(bytes));
  const auto product = static_cast<std::uint16_t>(suffix.id_product | 0x0001);
  VELK_TRY(velk::dfu::check_dfu_file(bytes, suffix.id_vendor, product));
  if (velk::mode_of(suffix.id_vendor, product) != velk::OperationMode::DFU) {
    return velk::fail(ErrorKind::InvalidImage,
                      "the file is for {:04x}:{:04x}, which is not the Vexo's boot loader ({})",
                      suffix.id_vendor, product, identities_text());
  }
  return {};
}

// Every section of an FF image as the flash would take it.
velk::Result<std::vector<velk::dsp::FfSection>> check_ff(std::span<const std::uint8_t> bytes) {
  VELK_TRY_ASSIGN(sections, velk::dsp::parse_ff(bytes));
  for (const auto& section : sections) {
    VELK_TRY(std::visit([](const auto& s) { return velk::dsp::plan_section(s); }, section));
  }
  return sections;
}

velk::Status check_dsp_write(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (auto placed = velk::dsp::check_loader_placement(address, data); !placed) {
    // The library logs the loader image's fault; velkctl has no log to show, so it says it.
    if (auto reason = velk::dsp::loader_image_problem(data); reason && address == 0) {
      return velk::fail(ErrorKind::InvalidImage, "{}: {}", placed.error().text(), *reason);
    }
    return placed;
  }
  if (data.size() > std::numeric_limits<std::uint32_t>::max())
    return velk::fail(ErrorKind::InvalidImage, "more than 4 GiB of data");
  VELK_TRY(velk::dsp::plan_sectors(address, static_cast<std::uint32_t>(data.size())));
  return {};
}

class Checker {
 public:
  Checker(Files& files, bool json) : files_(files), json_(json) {}

  // For the input of the command that runs now; earlier ones may have written it.
  bool now = false;

  Parsed<void> input(const CommandInfo& info, Input& input) {
    if (!now && std::find(written_.begin(), written_.end(), input.path) != written_.end()) {
      input.deferred = true;
      return {};
    }
    input.deferred = false;
    auto bytes = files_.read(input.path);
    if (!bytes) return fail(info, fmt::format("{}: {}", input.path, bytes.error()));
    input.bytes = std::move(*bytes);
    return {};
  }

  Parsed<void> output(const CommandInfo& info, const Output& output) {
    if (output.is_stdout()) {
      if (json_)
        return fail(info, "with --json, standard output carries the JSON records: name a file");
      if (stdout_taken_++ > 0)
        return fail(info, "standard output can carry one command's data only");
    }
    // A second command writing the same file replaces what the first wrote.
    const bool again = std::find(written_.begin(), written_.end(), output.path) != written_.end();
    Output checked = output;
    checked.force = checked.force || again;
    if (auto reason = files_.cannot_write(checked))
      return fail(info, fmt::format("{}: {}", output.path, *reason));
    if (!output.is_stdout()) written_.push_back(output.path);
    return {};
  }

 private:
  static std::unexpected<Problem> fail(const CommandInfo& info, std::string what) {
    return std::unexpected(Problem{kExitUsage, fmt::format("{}: {}", info.name, what), {}});
  }

  Files& files_;
  bool json_;
  int stdout_taken_ = 0;
  std::vector<std::string> written_;
};

#define VELKCTL_CHECK(expr)                                 \
  do {                                                      \
    if (auto checked_ = (expr); !checked_) return checked_; \
  } while (0)

struct StepChecker {
  const CommandInfo& info;
  Checker& checker;

  Parsed<void> operator()(command::FlashBtm& c) {
    VELKCTL_CHECK(checker.input(info, c.file));
    if (c.file.deferred) return {};
    if (auto ok = check_dfu_for_vexo(c.file.bytes); !ok)
      return image_problem(info, c.file, ok.error());
    return {};
  }
  Parsed<void> operator()(command::FlashSqif& c) {
    if (!c.file.path.empty()) VELKCTL_CHECK(checker.input(info, c.file));
    if (c.file.deferred) return {};
    auto image = velk::sqif::parse_xuv(c.file.bytes);
    if (!image) return image_problem(info, c.file, image.error());
    c.erase_only = image->empty();
    if (c.erase_only && !c.erase) {
      return std::unexpected(
          Problem{kExitUsage,
                  fmt::format("{}: {}: no data line: flashing it would only erase the serial flash "
                              "(add --erase to erase it)",
                              info.name, c.file.path),
                  {}});
    }
    return {};
  }
  Parsed<void> operator()(command::FlashDsp& c) {
    VELKCTL_CHECK(checker.input(info, c.file));
    if (c.file.deferred) return {};
    auto sections = check_ff(c.file.bytes);
    if (!sections) return image_problem(info, c.file, sections.error());
    if (sections->empty()) {
      return std::unexpected(
          Problem{kExitUsage,
                  fmt::format("{}: {}: holds no section: nothing to flash", info.name, c.file.path),
                  {}});
    }
    return {};
  }
  Parsed<void> operator()(command::WriteDsp& c) {
    VELKCTL_CHECK(checker.input(info, c.file));
    if (c.file.deferred) return {};
    if (c.file.bytes.empty())
      return std::unexpected(
          Problem{kExitUsage,
                  fmt::format("{}: {}: is empty: nothing to write", info.name, c.file.path),
                  {}});
    if (auto ok = check_dsp_write(c.address, c.file.bytes); !ok)
      return image_problem(info, c.file, ok.error());
    return {};
  }
  Parsed<void> operator()(command::DumpBtm& c) { return checker.output(info, c.file); }
  Parsed<void> operator()(command::ReadDsp& c) { return checker.output(info, c.file); }
  // check reads its files itself: a bad file is what it reports on, not a usage error.
  Parsed<void> operator()(command::Check& c) {
    for (Input& file : c.files) {
      if (file.path == "-") VELKCTL_CHECK(checker.input(info, file));
    }
    return {};
  }
  template <class Other>
  Parsed<void> operator()(Other&) {
    return {};
  }
};

#undef VELKCTL_CHECK

// ---- What check says about a file.

std::string lower_extension(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string ext(path.substr(dot));
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext;
}

enum class Format { Dfu, Xuv, Ff, Unknown };

// By the extension first, then by what the bytes look like.
Format format_of(std::string_view path, std::span<const std::uint8_t> bytes) {
  const std::string ext = lower_extension(path);
  if (ext == ".dfu") return Format::Dfu;
  if (ext == ".xuv") return Format::Xuv;
  if (ext == ".ff") return Format::Ff;
  if (auto suffix = velk::dfu::read_dfu_suffix(bytes);
      suffix && suffix->signature == std::array<std::uint8_t, 3>{0x55, 0x46, 0x44})
    return Format::Dfu;
  if (bytes.size() >= velk::dsp::kFfHeaderLength && bytes[62] == 0xEE) return Format::Ff;
  const auto first = std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) {
    return b != ' ' && b != '\t' && b != '\r' && b != '\n';
  });
  if (first != bytes.end() && *first == '@') return Format::Xuv;
  return Format::Unknown;
}

std::string hex(std::uint64_t value) {
  return fmt::format("{:#x}", value);
}

void inspect_dfu(std::span<const std::uint8_t> bytes, FileReport& r) {
  r.format = "DFU file";
  if (auto suffix = velk::dfu::read_dfu_suffix(bytes)) {
    const auto dfu_product = static_cast<std::uint16_t>(suffix->id_product | 1);
    r.lines.push_back(fmt::format("image {} bytes, release (bcdDevice) {:#06x}",
                                  bytes.size() - velk::dfu::kDfuSuffixLength, suffix->bcd_device));
    r.lines.push_back(
        fmt::format("suffix: vendor {:04x}, product {:04x}, bcdDFU {:#06x}, CRC {:#010x}",
                    suffix->id_vendor, suffix->id_product, suffix->bcd_dfu, suffix->crc));
    if (velk::mode_of(suffix->id_vendor, dfu_product) == velk::OperationMode::DFU) {
      r.lines.push_back(fmt::format("for: the Vexo's boot loader at {:04x}:{:04x}",
                                    suffix->id_vendor, dfu_product));
    }
    r.fields = {{"image_bytes", std::to_string(bytes.size() - velk::dfu::kDfuSuffixLength)},
                {"vendor", json_string(fmt::format("{:04x}", suffix->id_vendor))},
                {"product", json_string(fmt::format("{:04x}", suffix->id_product))},
                {"bcd_device", json_string(fmt::format("{:04x}", suffix->bcd_device))},
                {"crc", json_string(hex(suffix->crc))}};
  }
  if (auto ok = check_dfu_for_vexo(bytes); !ok) r.problem = ok.error().display();
}

void inspect_xuv(std::span<const std::uint8_t> bytes, FileReport& r) {
  r.format = "xuv image";
  velk::sqif::XuvLayout layout;
  auto image = velk::sqif::parse_xuv(bytes, &layout);
  if (!image) {
    r.problem = image.error().display();
    return;
  }
  if (image->empty()) {
    r.lines.push_back(
        "no data line: flashing it erases the serial flash and writes nothing "
        "(flash-sqif --erase)");
  } else {
    r.lines.push_back(fmt::format("{} words at word addresses {:#x} to {:#x}", layout.words,
                                  layout.first_offset / 2, image->size() / 2 - 1));
    r.lines.push_back(fmt::format("image {} bytes from flash offset 0, {} gap{} filled with zeros",
                                  image->size(), layout.gaps, layout.gaps == 1 ? "" : "s"));
  }
  r.fields = {{"words", std::to_string(layout.words)},
              {"image_bytes", std::to_string(image->size())},
              {"gaps", std::to_string(layout.gaps)}};
}

void inspect_ff(std::span<const std::uint8_t> bytes, FileReport& r) {
  r.format = "FF image";
  auto sections = velk::dsp::parse_ff(bytes);
  if (!sections) {
    r.problem = sections.error().display();
    return;
  }
  std::uint64_t written = 0;
  std::uint64_t erased = 0;
  for (const auto& section : *sections) {
    auto sectors = std::visit([](const auto& s) { return velk::dsp::plan_section(s); }, section);
    const auto* write = std::get_if<velk::dsp::WriteSection>(&section);
    const std::uint32_t address =
        write ? write->address : std::get<velk::dsp::EraseSection>(section).address;
    const std::uint64_t length =
        write ? write->data.size() : std::get<velk::dsp::EraseSection>(section).length;
    (write ? written : erased) += length;
    std::string line =
        fmt::format("{} {:#x} bytes at {:#x}", write ? "write" : "erase", length, address);
    if (sectors) {
      line += fmt::format(" ({} sector{})", sectors->size(), sectors->size() == 1 ? "" : "s");
    } else if (r.problem.empty()) {
      r.problem = sectors.error().display();
      line += ": refused";
    }
    r.lines.push_back(std::move(line));
  }
  r.lines.insert(r.lines.begin(),
                 fmt::format("{} section{}: writes {} bytes, erases {} bytes", sections->size(),
                             sections->size() == 1 ? "" : "s", written, erased));
  r.fields = {{"sections", std::to_string(sections->size())},
              {"write_bytes", std::to_string(written)},
              {"erase_bytes", std::to_string(erased)}};
}

}  // namespace

bool Words::has(std::string_view option) const {
  return std::find(options.begin(), options.end(), option) != options.end();
}

std::span<const CommandInfo> commands() {
  return kCommands;
}

const CommandInfo* find_command(std::string_view name) {
  for (const CommandInfo& info : kCommands) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

std::string synopsis(const CommandInfo& command) {
  std::string text(command.name);
  if (!command.args.empty()) text.append(" ").append(command.args);
  return text;
}

Parsed<Invocation> parse_command_line(std::span<const std::string_view> args) {
  Invocation inv;
  std::size_t i = 0;
  const auto usage = [](std::string what) {
    return std::unexpected(Problem{kExitUsage, std::move(what), general_usage()});
  };
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--sim") {
      inv.options.sim = true;
    } else if (arg.starts_with("--sim=")) {
      inv.options.sim = true;
      inv.options.scenario = std::string(arg.substr(6));
    } else if (arg == "--json") {
      inv.options.json = true;
    } else if (arg == "--log" || arg == "--log-level") {
      if (i + 1 == args.size()) return usage(fmt::format("{} needs a value", arg));
      const std::string_view value = args[++i];
      if (arg == "--log") {
        if (value.empty()) return usage("--log needs a file name");
        inv.options.log_path = std::string(value);
        if (inv.options.log_level == 0) inv.options.log_level = 4;
      } else if (auto level = parse_number(value, 0xFFFFFFFF)) {
        inv.options.log_level = static_cast<std::uint32_t>(*level);
      } else {
        return usage(fmt::format("--log-level must be a number, not '{}'", value));
      }
    } else if (arg == "-h" || arg == "--help") {
      inv.options.help = true;
    } else if (arg == "--version") {
      inv.options.version = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage(fmt::format("unknown option '{}'", arg));
    } else {
      break;
    }
  }
  if (inv.options.help || inv.options.version) return inv;
  if (i == args.size()) return usage("no command given");

  std::vector<std::string_view> words;
  for (; i <= args.size(); ++i) {
    if (i < args.size() && args[i] != "+") {
      words.push_back(args[i]);
      continue;
    }
    if (words.empty()) return usage("an empty command next to '+'");
    auto step = parse_step(words, inv.options.json);
    if (!step) return std::unexpected(step.error());
    inv.steps.push_back(std::move(*step));
    words.clear();
  }
  return inv;
}

Parsed<void> check_steps(Invocation& invocation, Files& files) {
  // Counted before anything is read: a second reader would find standard input used up.
  int readers = 0;
  for (Step& step : invocation.steps) {
    std::visit(
        [&](const auto& c) {
          if constexpr (requires { c.file.bytes; }) readers += c.file.path == "-" ? 1 : 0;
          if constexpr (requires { c.files; })
            readers += static_cast<int>(std::count_if(
                c.files.begin(), c.files.end(), [](const Input& i) { return i.path == "-"; }));
        },
        step.command);
    if (readers > 1) {
      return std::unexpected(Problem{
          kExitUsage,
          fmt::format("{}: standard input can be read by one command only", step.info->name),
          {}});
    }
  }
  Checker checker(files, invocation.options.json);
  for (Step& step : invocation.steps) {
    StepChecker visit{*step.info, checker};
    if (auto ok = std::visit(visit, step.command); !ok) return ok;
  }
  return {};
}

Parsed<void> check_deferred(const Invocation& invocation, Step& step, Files& files) {
  Checker checker(files, invocation.options.json);
  checker.now = true;
  StepChecker visit{*step.info, checker};
  return std::visit(visit, step.command);
}

std::string overview_help() {
  std::string text = fmt::format(
      "velkctl {}: firmware service for the Tavrin Systems Vexo, through the velk library\n"
      "\n"
      "usage: {}\n"
      "       velkctl help [COMMAND] | COMMAND --help | --version\n"
      "\n"
      "commands:\n",
      VELK_VERSION_STRING, kGeneralSynopsis);
  for (const CommandInfo& info : kCommands)
    text += fmt::format("  {:<33}{}\n", synopsis(info), info.summary);
  text +=
      "\n"
      "Commands joined by + run one after another on one open device. Every command line is\n"
      "checked first, with every file it reads (by the library's own format code) and every\n"
      "file it writes: a problem stops velkctl before it opens the device. Numbers are decimal\n"
      "or 0x-prefixed hexadecimal. FILE - is standard input or output; with data on standard\n"
      "output, the status lines go to standard error. Transfers show a progress bar on standard\n"
      "error when it is a terminal, and one line per finished transfer otherwise. The first\n"
      "Ctrl-C stops after the running command; a second one stops at once.\n"
      "\n"
      "options:\n"
      "  --sim[=SCENARIO]  run against the virtual device (Linux): vexo (the default), vexo-dfu,\n"
      "                    vexo-sqif, vexo-dsp, vexo-dfu-firmware, vexo-dfu-firmware-1m,\n"
      "                    vexo-no-self-detach, two, none\n"
      "  --log FILE        write the library's log to FILE (level 4, debug, by default)\n"
      "  --log-level N     the log's level: 1 error, 2 warn, 3 info, 4 debug, 5 trace\n"
      "  --json            one JSON object per command on standard output\n"
      "  -h, --help        show this help\n"
      "  --version         show velkctl's version\n"
      "\n"
      "A failure is explained on standard error with the library's error record.\n"
      "exit status: 0 ok, 2 usage or unusable file, 3 no device opened, 4 verify mismatch,\n"
      "  10 + the error kind of a failed call (10 internal, 11 libusb, 12 hidapi, 13 invalid\n"
      "  argument, 14 enumeration, 15 device, 16 spurious event, 17 invalid image, 18 timeout),\n"
      "  130 stopped by Ctrl-C\n";
  return text;
}

std::string command_help(const CommandInfo& info) {
  std::string text =
      fmt::format("usage: velkctl [OPTIONS] {}\n\n{}\n", synopsis(info), info.summary);
  if (!info.details.empty()) text += fmt::format("\n{}\n", info.details);
  if (!info.options.empty()) {
    text += "\noptions:\n";
    for (const OptionInfo& option : info.options)
      text += fmt::format("  {:<10} {}\n", option.name, option.help);
  }
  if (!info.needs_device) text += "\nDoes not open the device.\n";
  return text;
}

FileReport inspect_file(std::string_view path, std::span<const std::uint8_t> bytes) {
  FileReport r;
  switch (format_of(path, bytes)) {
    case Format::Dfu:
      inspect_dfu(bytes, r);
      break;
    case Format::Xuv:
      inspect_xuv(bytes, r);
      break;
    case Format::Ff:
      inspect_ff(bytes, r);
      break;
    case Format::Unknown:
      r.format = "unknown";
      r.problem = "neither a DFU file, an xuv image nor an FF image";
      break;
  }
  r.valid = r.problem.empty();
  return r;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += fmt::format("\\u{:04x}", u);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string identities_text() {
  std::string text;
  for (const velk::UsbIdentity& id : velk::kIdentities) {
    std::string product;
    switch (id.rule) {
      case velk::ProductRule::Exactly:
        product = fmt::format("{:04x}", id.product);
        break;
      case velk::ProductRule::Odd:
        product = "odd";
        break;
      case velk::ProductRule::Even:
        product = "even";
        break;
    }
    text += fmt::format("{}{:04x}:{} {}", text.empty() ? "" : ", ", id.vendor, product,
                        velk::mode_name(id.mode));
  }
  return text;
}

}  // namespace velkctl
