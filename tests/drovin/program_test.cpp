// Runs the drovin binary, linked with the libwdi stand-in, as a process: a scenario file sets
// the device list and the failing calls, and the stand-in's record shows every libwdi call.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/drovin/wdi_record.h"

namespace drovin::testing {
namespace {

constexpr const char* kHub =
    "device vid=1d6b pid=0003 hardware_id=USB\\ROOT_HUB30&VID1D6B&PID0003 "
    "device_id=USB\\ROOT_HUB30\\4&1A2B3C4D&0&0 desc=USB%20Root%20Hub\n";
constexpr const char* kNormal =
    "device vid=7a11 pid=1300 hardware_id=USB\\VID_7A11&PID_1300&REV_0100 "
    "device_id=USB\\VID_7A11&PID_1300\\5&2C8A1F3&0&2 desc=Vexo\n";
constexpr const char* kDfu =
    "device vid=7a11 pid=1301 hardware_id=USB\\VID_7A11&PID_1301&REV_0100 "
    "device_id=USB\\VID_7A11&PID_1301\\5&2C8A1F3&0&2 desc=Vexo%20(DFU)\n";

struct LogLine {
  std::string level;
  std::string message;
  bool operator==(const LogLine&) const = default;
};

void PrintTo(const LogLine& line, std::ostream* out) {
  *out << line.level << " " << line.message;
}

struct DrovinRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<LogLine> log;         // lines of the drovin::wdi logger
  std::vector<std::string> others;  // every other line of standard error
  std::vector<WdiCall> calls;
};

// Runs drovin in `dir` with the scenario; the log variables are unset unless `env` sets them.
DrovinRun run_drovin(const ScratchDir& dir, const std::string& scenario,
                     const std::map<std::string, std::string>& env = {}) {
  dir.write("scenario", scenario);
  std::string command = "cd '" + dir.path().string() + "' && env -u DROVIN_LOG -u DROVIN_LOG_STYLE";
  command += " DROVIN_WDI_SCENARIO='" + (dir / "scenario").string() + "'";
  command += " DROVIN_WDI_RECORD='" + (dir / "record").string() + "'";
  for (const auto& [name, value] : env) command += " " + name + "='" + value + "'";
  command += " '" DROVIN_EXE "' >out 2>err";

  DrovinRun run;
  int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_file(dir / "out");
  run.err = read_file(dir / "err");
  run.calls = read_record(dir / "record");
  static const std::regex kLogLine(R"(^\[[^\]]*\] \[drovin::wdi\] \[(\w+)\] (.*)$)");
  std::istringstream lines(run.err);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, kLogLine)) {
      run.log.push_back({match[1], match[2]});
    } else {
      run.others.push_back(line);
    }
  }
  return run;
}

std::vector<std::string> functions(const std::vector<WdiCall>& calls) {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(call.function);
  return names;
}

void expect_device_info(const WdiCall& call, int pid, const std::string& desc) {
  SCOPED_TRACE(call.function);
  EXPECT_EQ(call.raw("next"), "null");
  EXPECT_EQ(call.number("vid"), 0x7a11);
  EXPECT_EQ(call.number("pid"), pid);
  EXPECT_EQ(call.number("is_composite"), 0);
  EXPECT_EQ(call.number("mi"), 0);
  EXPECT_EQ(call.text("desc"), desc);
  EXPECT_EQ(call.text("driver"), std::nullopt);
  EXPECT_EQ(call.text("compatible_id"), std::nullopt);
  EXPECT_EQ(call.text("upper_filter"), std::nullopt);
  EXPECT_EQ(call.number("driver_version"), 0);
}

void expect_install(const WdiCall& call, int pid, const std::string& desc,
                    std::optional<std::string> hardware_id, std::optional<std::string> device_id) {
  ASSERT_EQ(call.function, "wdi_install_driver");
  expect_device_info(call, pid, desc);
  EXPECT_EQ(call.text("hardware_id"), hardware_id);
  EXPECT_EQ(call.text("device_id"), device_id);
  std::string directory = pid == 0x1300 ? "usb_device_7a11_1300" : "usb_device_7a11_1301";
  EXPECT_EQ(call.text("path"), directory);
  EXPECT_EQ(call.text("inf_name"), directory + ".inf");
  EXPECT_EQ(call.raw("hWnd"), "null");
  EXPECT_EQ(call.number("install_filter_driver"), 0);
  EXPECT_EQ(call.number("pending_install_timeout"), 300000);
}

TEST(DrovinProgram, WithoutDeviceEachRowPreparesAndInstallsForADisconnectedDevice) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, std::string(kHub) + "device vid=046d pid=c077 mi=1\n");

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.others.empty()) << run.err;
  std::vector<LogLine> expected{
      {"info", "Preparing driver Libusbk for USB device 7a11:1300"},
      {"info", "Installing Vexo"},
      {"info", "Installing driver for a disconnected device"},
      {"info", "Preparing driver Libusbk for USB device 7a11:1301"},
      {"info", "Installing Vexo (DFU)"},
      {"info", "Installing driver for a disconnected device"},
  };
  EXPECT_EQ(run.log, expected);

  std::vector<std::string> one_row{"wdi_set_log_level", "wdi_prepare_driver", "wdi_create_list",
                                   "wdi_install_driver", "wdi_destroy_list"};
  std::vector<std::string> both_rows = one_row;
  both_rows.insert(both_rows.end(), one_row.begin(), one_row.end());
  ASSERT_EQ(functions(run.calls), both_rows);
  for (const auto& call : run.calls) EXPECT_EQ(call.result, 0) << call.function;

  const std::vector<std::pair<int, std::string>> rows{{0x1300, "Vexo"}, {0x1301, "Vexo (DFU)"}};
  for (size_t row = 0; row < 2; ++row) {
    SCOPED_TRACE(row);
    const auto& [pid, name] = rows[row];
    const WdiCall* calls = &run.calls[row * one_row.size()];
    EXPECT_EQ(calls[0].number("level"), 1);

    const WdiCall& prepare = calls[1];
    expect_device_info(prepare, pid, name);
    EXPECT_EQ(prepare.text("hardware_id"), std::nullopt);
    EXPECT_EQ(prepare.text("device_id"), std::nullopt);
    std::string directory = pid == 0x1300 ? "usb_device_7a11_1300" : "usb_device_7a11_1301";
    EXPECT_EQ(prepare.text("path"), directory);
    EXPECT_EQ(prepare.text("inf_name"), directory + ".inf");
    EXPECT_EQ(prepare.number("driver_type"), 2);
    EXPECT_EQ(prepare.text("vendor_name"), "Tavrin Systems, Inc.");
    EXPECT_EQ(prepare.text("device_guid"), std::nullopt);
    EXPECT_EQ(prepare.number("disable_cat"), 0);
    EXPECT_EQ(prepare.number("disable_signing"), 0);
    EXPECT_EQ(prepare.text("cert_subject"), std::nullopt);
    EXPECT_EQ(prepare.number("use_wcid_driver"), 0);

    EXPECT_EQ(calls[2].number("list_all"), 1);
    EXPECT_EQ(calls[2].number("list_hubs"), 1);
    EXPECT_EQ(calls[2].number("trim_whitespaces"), 1);
    expect_install(calls[3], pid, name, std::nullopt, std::nullopt);
    // The list goes back to libwdi, and only the one it handed out.
    EXPECT_EQ(calls[4].raw("list"), "ptr");

    // The packages stay in the directory drovin ran in.
    EXPECT_TRUE(std::filesystem::exists(dir / directory / (directory + ".inf")));
  }
}

TEST(DrovinProgram, NormalIdentityPluggedInIsInstalledAndDfuIdentityStaysDisconnected) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, std::string(kHub) + kNormal);

  EXPECT_EQ(run.status, 0);
  std::vector<LogLine> expected{
      {"info", "Preparing driver Libusbk for USB device 7a11:1300"},
      {"info", "Installing Vexo"},
      {"info",
       R"(Installing Hardware ID: "USB\VID_7A11&PID_1300&REV_0100", Device ID: "USB\VID_7A11&PID_1300\5&2C8A1F3&0&2")"},
      {"info", "Preparing driver Libusbk for USB device 7a11:1301"},
      {"info", "Installing Vexo (DFU)"},
      {"info", "Installing driver for a disconnected device"},
  };
  EXPECT_EQ(run.log, expected);
  auto installs = calls_of(run.calls, "wdi_install_driver");
  ASSERT_EQ(installs.size(), 2u);
  expect_install(installs[0], 0x1300, "Vexo", R"(USB\VID_7A11&PID_1300&REV_0100)",
                 R"(USB\VID_7A11&PID_1300\5&2C8A1F3&0&2)");
  expect_install(installs[1], 0x1301, "Vexo (DFU)", std::nullopt, std::nullopt);
}

TEST(DrovinProgram, EveryMatchingDeviceIsInstalled) {
  ScratchDir dir;
  std::string second_normal =
      "device vid=7a11 pid=1300 hardware_id=USB\\VID_7A11&PID_1300&REV_0101 "
      "device_id=USB\\VID_7A11&PID_1300\\6&1&0&4\n";
  DrovinRun run = run_drovin(dir, std::string(kNormal) + kHub + second_normal + kDfu);

  EXPECT_EQ(run.status, 0);
  auto installs = calls_of(run.calls, "wdi_install_driver");
  ASSERT_EQ(installs.size(), 3u);
  expect_install(installs[0], 0x1300, "Vexo", R"(USB\VID_7A11&PID_1300&REV_0100)",
                 R"(USB\VID_7A11&PID_1300\5&2C8A1F3&0&2)");
  expect_install(installs[1], 0x1300, "Vexo", R"(USB\VID_7A11&PID_1300&REV_0101)",
                 R"(USB\VID_7A11&PID_1300\6&1&0&4)");
  expect_install(installs[2], 0x1301, "Vexo (DFU)", R"(USB\VID_7A11&PID_1301&REV_0100)",
                 R"(USB\VID_7A11&PID_1301\5&2C8A1F3&0&2)");
  for (const auto& line : run.log) {
    EXPECT_NE(line.message, "Installing driver for a disconnected device");
  }
}

TEST(DrovinProgram, CompositeInterfaceOfTheSameIdentityDoesNotMatch) {
  ScratchDir dir;
  DrovinRun run =
      run_drovin(dir, "device vid=7a11 pid=1300 mi=0 hardware_id=USB\\VID_7A11&PID_1300&MI_00\n",
                 {{"DROVIN_LOG", "trace"}});

  EXPECT_EQ(run.status, 0);
  auto installs = calls_of(run.calls, "wdi_install_driver");
  ASSERT_EQ(installs.size(), 2u);
  expect_install(installs[0], 0x1300, "Vexo", std::nullopt, std::nullopt);
  EXPECT_NE(
      std::find(run.log.begin(), run.log.end(), LogLine{"trace", "Examining device 7a11:1300.0"}),
      run.log.end());
  EXPECT_NE(std::find(run.log.begin(), run.log.end(),
                      LogLine{"info", "Installing driver for a disconnected device"}),
            run.log.end());
}

TEST(DrovinProgram, LogOffIsSilentAndTurnsLibwdiLoggingOff) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, kHub, {{"DROVIN_LOG", "off"}});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  auto levels = calls_of(run.calls, "wdi_set_log_level");
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].number("level"), 4);
  EXPECT_EQ(levels[1].number("level"), 4);
}

TEST(DrovinProgram, TraceLogsTheEnumerationAndEveryListedDevice) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, std::string(kHub) + "device vid=046d pid=c077 mi=1\n" + kNormal,
                             {{"DROVIN_LOG", "trace"}});

  EXPECT_EQ(run.status, 0);
  std::vector<LogLine> row1(run.log.begin(), run.log.begin() + 7);
  std::vector<LogLine> expected{
      {"info", "Preparing driver Libusbk for USB device 7a11:1300"},
      {"info", "Installing Vexo"},
      {"trace", "Enumerating connected devices"},
      {"trace", "Examining device 1d6b:0003"},
      {"trace", "Examining device 046d:c077.1"},
      {"trace", "Examining device 7a11:1300"},
      {"info",
       R"(Installing Hardware ID: "USB\VID_7A11&PID_1300&REV_0100", Device ID: "USB\VID_7A11&PID_1300\5&2C8A1F3&0&2")"},
  };
  EXPECT_EQ(row1, expected);
  EXPECT_EQ(run.log.size(), 7u + 7u);  // row 2: the same, with a disconnected install
  for (const auto& call : calls_of(run.calls, "wdi_set_log_level")) {
    EXPECT_EQ(call.number("level"), 0);
  }
}

TEST(DrovinProgram, LibwdiLogLevelFollowsTheMostVerboseLogLevel) {
  const std::vector<std::pair<std::string, int>> cases{
      {"error", 3},
      {"WARN", 2},
      {"info", 1},
      {"debug", 0},
      {"drovin::wdi=warn", 2},
      {"error,drovin=debug", 0},
      {"drovin::wdi=off", 4},
  };
  for (const auto& [filter, level] : cases) {
    SCOPED_TRACE(filter);
    ScratchDir dir;
    DrovinRun run = run_drovin(dir, kHub, {{"DROVIN_LOG", filter}});
    EXPECT_EQ(run.status, 0);
    auto levels = calls_of(run.calls, "wdi_set_log_level");
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_EQ(levels[0].number("level"), level);
    // Info lines show exactly when the filter lets info through for drovin::wdi.
    EXPECT_EQ(run.log.empty(), level > 1);
  }
}

TEST(DrovinProgram, UnreadableLogDirectiveIsReportedAndTheRestApplies) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, kHub, {{"DROVIN_LOG", "drovin::wdi=loud,warn"}});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.others, std::vector<std::string>{
                            "warning: invalid logging directive 'drovin::wdi=loud', ignoring it"});
  EXPECT_TRUE(run.log.empty()) << run.err;
  EXPECT_EQ(calls_of(run.calls, "wdi_set_log_level").at(0).number("level"), 2);
}

struct FailingRow1 {
  std::string scenario;
  std::string error_line;
  size_t calls;  // made before drovin gave up
};

TEST(DrovinProgram, FailureInRow1EndsTheRunBeforeRow2) {
  const std::vector<FailingRow1> cases{
      {"fail wdi_set_log_level 1 -2\n",
       "ERROR: libwdi error: wdi_set_log_level returned InvalidParam", 1},
      {"fail wdi_prepare_driver 1 -3\n", "ERROR: libwdi error: wdi_prepare_driver returned Access",
       2},
      {"fail wdi_create_list 1 -11\n", "ERROR: libwdi error: wdi_create_list returned Resource", 3},
      {"", "ERROR: libwdi error: wdi_create_list returned NoDevice", 3},  // an empty bus
      {std::string(kNormal) + "fail wdi_install_driver 1 -15\n",
       "ERROR: libwdi error: wdi_install_driver returned NeedsAdmin", 5},
      {std::string(kHub) + "fail wdi_install_driver 1 -42\n",
       "ERROR: libwdi error: wdi_install_driver returned Other", 5},
      // The first of two matching devices fails: the second is not tried.
      {std::string(kNormal) + kNormal + "fail wdi_install_driver 1 -9\n",
       "ERROR: libwdi error: wdi_install_driver returned PendingInstallation", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error_line);
    ScratchDir dir;
    DrovinRun run = run_drovin(dir, c.scenario);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_TRUE(run.err.ends_with(c.error_line + "\n")) << run.err;
    EXPECT_EQ(run.others, std::vector<std::string>{c.error_line});
    EXPECT_EQ(run.calls.size(), c.calls) << run.err;
    for (const auto& call : run.calls) {
      if (call.has("pid")) {
        EXPECT_EQ(call.number("pid"), 0x1300) << call.function;
      }
    }
    for (const auto& line : run.log) {
      EXPECT_EQ(line.message.find("7a11:1301"), std::string::npos) << line.message;
    }
  }
}

TEST(DrovinProgram, FailureInRow2KeepsRow1AndExitsWithStatus1) {
  ScratchDir dir;
  DrovinRun run = run_drovin(dir, std::string(kHub) + "fail wdi_install_driver 2 -7\n");

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.others,
            std::vector<std::string>{"ERROR: libwdi error: wdi_install_driver returned Timeout"});
  auto installs = calls_of(run.calls, "wdi_install_driver");
  ASSERT_EQ(installs.size(), 2u);
  EXPECT_EQ(installs[0].result, 0);
  EXPECT_EQ(installs[1].number("pid"), 0x1301);
}

TEST(DrovinProgram, IdsThatAreNotUtf8AreLoggedWithReplacementsAndPassedOnUnchanged) {
  ScratchDir dir;
  DrovinRun run = run_drovin(
      dir, "device vid=7a11 pid=1300 hardware_id=USB\\VID_7A11%FF device_id=D%C3%A9%C3\n");

  EXPECT_EQ(run.status, 0);
  ASSERT_GE(run.log.size(), 3u);
  EXPECT_EQ(run.log[2].message,
            "Installing Hardware ID: \"USB\\VID_7A11\xEF\xBF\xBD\", Device ID: "
            "\"D\xC3\xA9\xEF\xBF\xBD\"");
  auto installs = calls_of(run.calls, "wdi_install_driver");
  ASSERT_FALSE(installs.empty());
  EXPECT_EQ(installs[0].text("hardware_id"), "USB\\VID_7A11\xFF");
  EXPECT_EQ(installs[0].text("device_id"), "D\xC3\xA9\xC3");
}

TEST(DrovinProgram, LogStyleControlsColour) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"always", true}, {"never", false}, {"auto", false}, {"", false}};
  for (const auto& [style, coloured] : cases) {
    SCOPED_TRACE(style);
    ScratchDir dir;
    std::map<std::string, std::string> env;
    if (!style.empty()) env["DROVIN_LOG_STYLE"] = style;
    DrovinRun run = run_drovin(dir, kHub, env);
    EXPECT_EQ(run.status, 0);
    ASSERT_FALSE(run.err.empty());
    // Standard error is a file here, so "auto" must not colour it.
    EXPECT_EQ(run.err.find("\x1b[") != std::string::npos, coloured);
  }
}

}  // namespace
}  // namespace drovin::testing
