// vexo_kernel: a virtual Vexo at the Linux kernel interface, for programs that use the real
// libusb and hidapi. It builds a umockdev testbed, shows the Vexo's USB identity in it (sysfs,
// a usbfs node, a hidraw node in the loader modes), runs the program with the testbed as its
// view of the system, serves the program's requests with the Vexo model in real time, and
// checks the device's state when the program has ended.
//
//   umockdev-wrapper vexo_kernel [OPTIONS] -- PROGRAM [ARGS]...
//
// It runs under umockdev-wrapper itself, as the testbed's uevents need umockdev's preload; the
// program inherits it together with the testbed's UMOCKDEV_DIR. Exit status: the program's,
// or 100 when the model met a request it does not serve or a check failed, 101 when the
// testbed could not be set up.
#include <fmt/format.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/kernel/journal.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/node.h"
#include "sim/vexo/scenarios.h"
#include "sim/vexo/vexo.h"

namespace {

using namespace std::chrono_literals;
using sim::kernel::journal;

constexpr int kExitFailed = 100;
constexpr int kExitSetup = 101;

constexpr const char* kUsage =
    "usage: umockdev-wrapper vexo_kernel [OPTIONS] -- PROGRAM [ARGS]...\n"
    "the device:\n"
    "  --scenario NAME           the Vexo of that named scenario (vexo): vexo, vexo-dfu,\n"
    "                            vexo-sqif, vexo-dsp, vexo-no-self-detach, vexo-dfu-firmware,\n"
    "                            vexo-dfu-firmware-1m\n"
    "  --mode btm|dfu|sqif|dsp   short for --scenario vexo, vexo-dfu, vexo-sqif, vexo-dsp\n"
    "  --firmware                the scenario's variant whose boot loader holds a firmware\n"
    "                            image to dump (--mode dfu --firmware: vexo-dfu-firmware)\n"
    "  --hci-driver NAME         its HCI interface starts bound to kernel driver NAME\n"
    "  --restart-ms N            its restart time (100 ms)\n"
    "  --manifest-ms N           its boot loader's time to write a received image (300 ms)\n"
    "  --lost-responses N        the next N BCCMD answers never reach the host\n"
    "  --sqif-silence-ms N       the serial-flash loader's next status comes N ms late\n"
    "  --unplug KIND[,request=N][,report=N][,skip=N][,replug]\n"
    "                            pull the cable at a request (control-in, control-out,\n"
    "                            interrupt-in, write, send-feature, get-feature), and plug\n"
    "                            it in again: the chip restarts\n"
    "  --deny usbfs|hidraw       the user may not open nodes of that kind\n"
    "the run:\n"
    "  --trace FILE              every request at the kernel interface, one line each\n"
    "  --timeout S               stop the program after S seconds (150)\n"
    "checks at the end:\n"
    "  --expect-mode none|btm|dfu|sqif|dsp\n"
    "  --expect-driver N=NAME    interface N is bound to kernel driver NAME\n"
    "  --expect-memory btm|sqif|dsp:OFFSET:FILE\n"
    "                            the chip's memory holds FILE's bytes at OFFSET\n";

struct MemoryCheck {
  std::string memory;
  std::size_t offset = 0;
  std::string file;
};

struct Options {
  std::string scenario = "vexo";
  bool firmware = false;
  // What the options below change in the scenario's Vexo, in the order given.
  std::vector<std::function<void(sim::vexo::VexoOptions&)>> tweaks;
  std::optional<sim::Fault> unplug;
  bool replug = false;
  std::vector<sim::kernel::NodeKind> deny;
  std::string trace;
  std::chrono::seconds timeout{150};
  std::optional<std::string> expect_mode;
  std::map<int, std::string> expect_drivers;
  std::vector<MemoryCheck> expect_memory;
  std::vector<char*> program;
};

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "vexo_kernel: %s\n%s", why.c_str(), kUsage);
  std::exit(kExitSetup);
}

std::optional<sim::vexo::Mode> parse_mode(std::string_view name) {
  using sim::vexo::Mode;
  if (name == "btm") return Mode::Btm;
  if (name == "dfu") return Mode::Dfu;
  if (name == "sqif") return Mode::Sqif;
  if (name == "dsp") return Mode::Dsp;
  return std::nullopt;
}

unsigned long number(const std::string& text) {
  std::size_t end = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &end, 0);
  } catch (const std::exception&) {
    end = 0;
  }
  if (end == 0 || end != text.size()) usage("not a number: " + text);
  return value;
}

sim::Fault parse_unplug(const std::string& spec, bool& replug) {
  using sim::RequestKind;
  static const std::map<std::string, RequestKind> kinds{
      {"control-in", RequestKind::ControlIn},        {"control-out", RequestKind::ControlOut},
      {"interrupt-in", RequestKind::InterruptIn},    {"write", RequestKind::HidWrite},
      {"send-feature", RequestKind::HidSendFeature}, {"get-feature", RequestKind::HidGetFeature}};
  sim::Fault fault{.action = sim::Action::unplug()};
  std::size_t start = 0;
  for (bool first = true; start <= spec.size(); first = false) {
    const std::size_t comma = std::min(spec.find(',', start), spec.size());
    const std::string part = spec.substr(start, comma - start);
    start = comma + 1;
    if (first) {
      auto it = kinds.find(part);
      if (it == kinds.end()) usage("unknown request kind: " + part);
      fault.match.kind = it->second;
    } else if (part.starts_with("request=")) {
      fault.match.request = static_cast<std::uint8_t>(number(part.substr(8)));
    } else if (part.starts_with("report=")) {
      fault.match.report_id = static_cast<std::uint8_t>(number(part.substr(7)));
    } else if (part.starts_with("skip=")) {
      fault.skip = static_cast<int>(number(part.substr(5)));
    } else if (part == "replug") {
      replug = true;
    } else {
      usage("unknown --unplug field: " + part);
    }
  }
  return fault;
}

Options parse(int argc, char** argv) {
  using sim::vexo::VexoOptions;
  Options o;
  o.tweaks.emplace_back([](VexoOptions& v) { v.timings.restart = 100ms; });
  int i = 1;
  auto value = [&](const char* option) -> std::string {
    if (i + 1 >= argc) usage(std::string(option) + " needs a value");
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--") {
      o.program.assign(argv + i + 1, argv + argc);
      break;
    }
    if (arg == "--scenario") {
      o.scenario = value("--scenario");
    } else if (arg == "--mode") {
      const std::string mode = value("--mode");
      if (!parse_mode(mode)) usage("unknown mode: " + mode);
      o.scenario = mode == "btm" ? "vexo" : "vexo-" + mode;
    } else if (arg == "--firmware") {
      o.firmware = true;
    } else if (arg == "--hci-driver") {
      o.tweaks.emplace_back(
          [name = value("--hci-driver")](VexoOptions& v) { v.hci_kernel_driver = name; });
    } else if (arg == "--restart-ms") {
      o.tweaks.emplace_back([time = std::chrono::milliseconds(number(value("--restart-ms")))](
                                VexoOptions& v) { v.timings.restart = time; });
    } else if (arg == "--manifest-ms") {
      o.tweaks.emplace_back([time = std::chrono::milliseconds(number(value("--manifest-ms")))](
                                VexoOptions& v) { v.faults.dfu.manifest_time = time; });
    } else if (arg == "--lost-responses") {
      o.tweaks.emplace_back([n = static_cast<unsigned>(number(value("--lost-responses")))](
                                VexoOptions& v) { v.faults.lost_responses = n; });
    } else if (arg == "--sqif-silence-ms") {
      o.tweaks.emplace_back([time = std::chrono::milliseconds(number(value("--sqif-silence-ms")))](
                                VexoOptions& v) { v.faults.sqif.silence = time; });
    } else if (arg == "--unplug") {
      o.unplug = parse_unplug(value("--unplug"), o.replug);
    } else if (arg == "--deny") {
      const std::string kind = value("--deny");
      if (kind == "usbfs") {
        o.deny.push_back(sim::kernel::NodeKind::Usbfs);
      } else if (kind == "hidraw") {
        o.deny.push_back(sim::kernel::NodeKind::Hidraw);
      } else {
        usage("unknown node kind: " + kind);
      }
    } else if (arg == "--trace") {
      o.trace = value("--trace");
    } else if (arg == "--timeout") {
      o.timeout = std::chrono::seconds(number(value("--timeout")));
    } else if (arg == "--expect-mode") {
      o.expect_mode = value("--expect-mode");
      if (*o.expect_mode != "none" && !parse_mode(*o.expect_mode))
        usage("unknown mode: " + *o.expect_mode);
    } else if (arg == "--expect-driver") {
      const std::string spec = value("--expect-driver");
      const auto eq = spec.find('=');
      if (eq == std::string::npos) usage("--expect-driver wants N=NAME");
      o.expect_drivers[static_cast<int>(number(spec.substr(0, eq)))] = spec.substr(eq + 1);
    } else if (arg == "--expect-memory") {
      const std::string spec = value("--expect-memory");
      const auto first = spec.find(':');
      const auto second = spec.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos)
        usage("--expect-memory wants MEMORY:OFFSET:FILE");
      o.expect_memory.push_back({spec.substr(0, first),
                                 number(spec.substr(first + 1, second - first - 1)),
                                 spec.substr(second + 1)});
    } else {
      usage("unknown option: " + arg);
    }
  }
  if (o.program.empty()) usage("no program to run");
  if (o.firmware) o.scenario += "-firmware";
  auto setup = sim::vexo::vexo_setup(o.scenario);
  if (!setup || setup->count != 1) usage("no scenario of one Vexo named " + o.scenario);
  o.program.push_back(nullptr);
  return o;
}

// Root's override of file permissions goes, in the program and whatever it starts, so that a
// node the user may not open refuses root too.
bool drop_permission_override() {
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (auto& d : data) {
    const std::uint32_t mask = ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    d.effective &= mask;
    d.permitted &= mask;
    d.inheritable &= mask;
  }
  return syscall(SYS_capset, &header, data) == 0;
}

pid_t start(const Options& o) {
  const pid_t child = fork();
  if (child != 0) return child;
  // The program must not outlive the model it talks to.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (!o.deny.empty() && geteuid() == 0 && !drop_permission_override()) {
    std::perror("vexo_kernel: cannot drop the override of file permissions");
    _exit(kExitSetup);
  }
  execvp(o.program[0], o.program.data());
  std::perror(o.program[0]);
  _exit(127);
}

std::atomic<int> stop_signal{0};

void on_signal(int signal) {
  stop_signal = signal;
}

std::string mode_name(const std::shared_ptr<sim::vexo::Vexo>& vexo) {
  if (!vexo->on_bus()) return "none";
  std::string name(sim::vexo::name(vexo->mode()));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

void check(const Options& o, const std::shared_ptr<sim::vexo::Vexo>& vexo) {
  if (o.expect_mode && mode_name(vexo) != *o.expect_mode) {
    journal().fail(
        fmt::format("the device ends in mode {}, not {}", mode_name(vexo), *o.expect_mode));
  }
  const sim::Attachment* attached = nullptr;
  for (const auto& a : sim::bus().attachments()) {
    if (a.device == vexo) attached = &a;
  }
  for (const auto& [interface, name] : o.expect_drivers) {
    const std::string bound = attached ? sim::bus().driver(attached->id, interface) : "";
    if (bound != name)
      journal().fail(
          fmt::format("interface {} ends bound to '{}', not '{}'", interface, bound, name));
  }
  for (const auto& m : o.expect_memory) {
    const sim::Bytes* memory = m.memory == "btm"    ? &vexo->btm_firmware()
                               : m.memory == "sqif" ? &vexo->sqif_flash()
                               : m.memory == "dsp"  ? &vexo->dsp_flash()
                                                    : nullptr;
    std::ifstream in(m.file, std::ios::binary);
    const sim::Bytes want{std::istreambuf_iterator<char>(in), {}};
    if (memory == nullptr || !in.is_open()) {
      journal().fail("cannot check memory '" + m.memory + "' against " + m.file);
      continue;
    }
    const bool fits = m.offset <= memory->size() && want.size() <= memory->size() - m.offset;
    if (!fits || !std::equal(want.begin(), want.end(),
                             memory->begin() + static_cast<std::ptrdiff_t>(m.offset))) {
      journal().fail(fmt::format("the {} memory at {:#x} does not hold the {} bytes of {}",
                                 m.memory, m.offset, want.size(), m.file));
    }
  }
}

int run(const Options& o) {
  sim::vexo::VexoSetup setup = *sim::vexo::vexo_setup(o.scenario);
  for (const auto& tweak : o.tweaks) tweak(setup.options);
  auto vexo = setup.make();
  if (o.unplug) {
    sim::Fault fault = *o.unplug;
    fault.match.device = vexo.get();
    sim::bus().faults().add(fault);
  }
  if (!o.trace.empty() && !journal().open_trace(o.trace)) {
    std::fprintf(stderr, "vexo_kernel: cannot write %s\n", o.trace.c_str());
    return kExitSetup;
  }

  UMockdevTestbed* testbed = umockdev_testbed_new();
  const std::string root = sim::kernel::root_of(testbed);
  std::optional<sim::kernel::KernelInterface> kernel;
  int status = kExitSetup;
  try {
    auto guard = sim::bus().lock();
    kernel.emplace(testbed);
    for (auto kind : o.deny) kernel->deny(kind);
    sim::kernel::catch_up_with_real_time();
    vexo->plug_in();
    kernel->tick();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexo_kernel: %s\n", e.what());
    kernel.reset();
    g_object_unref(testbed);
    return kExitSetup;
  }

  const auto deadline = std::chrono::steady_clock::now() + o.timeout;
  const pid_t child = start(o);
  if (child < 0) {
    std::perror("vexo_kernel: fork");
    kernel.reset();
    g_object_unref(testbed);
    return kExitSetup;
  }
  bool replugged = false;
  bool broken = false;  // the testbed could not follow the bus
  for (;;) {
    try {
      auto guard = sim::bus().lock();
      sim::kernel::catch_up_with_real_time();
      // Plugged in again, the chip starts afresh, in the mode its key selects.
      if (o.replug && !replugged && sim::bus().faults().fired() > 0) {
        vexo->power_cycle();
        replugged = true;
      }
      kernel->tick();
    } catch (const std::exception& e) {
      journal().fail(e.what());
      broken = true;
    }
    int wstatus = 0;
    if (waitpid(child, &wstatus, WNOHANG) == child) {
      status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
      journal().trace(fmt::format("the program ends with status {}", status));
      break;
    }
    if (broken || stop_signal != 0 || std::chrono::steady_clock::now() > deadline) {
      if (!broken)
        journal().fail(stop_signal != 0 ? "stopped by a signal" : "the program ran out of time");
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      status = kExitFailed;
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  // The program's files close as it ends; let their handlers see that before the testbed goes.
  for (int i = 0; i < 1000; ++i) {
    auto guard = sim::bus().lock();
    kernel->tick();
    if (!kernel->in_use()) break;
    guard.unlock();
    std::this_thread::sleep_for(1ms);
  }
  {
    auto guard = sim::bus().lock();
    check(o, vexo);
  }

  g_object_unref(testbed);
  kernel.reset();
  if (std::filesystem::exists(root)) journal().fail("the testbed stays behind in " + root);
  if (!journal().failures().empty()) return kExitFailed;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  // umockdev's own test for this caches its answer, and must first be asked with the testbed.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr ||
      std::string_view(preload).find("libumockdev-preload") == std::string_view::npos) {
    std::fprintf(stderr, "vexo_kernel: run it under umockdev-wrapper\n");
    return kExitSetup;
  }
  std::signal(SIGTERM, on_signal);
  std::signal(SIGINT, on_signal);
  std::signal(SIGHUP, on_signal);
  return run(options);
}
