// install_usb_driver called directly, against the libwdi stand-in in this process.

#include "drovin/src/wdi/install.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <stdlib.h>

#include <sstream>
#include <string>

#include "drovin/src/log/setup.h"
#include "drovin/wdi_standin/include/wdi_standin.h"
#include "tests/drovin/wdi_record.h"

namespace drovin::wdi {
namespace {

using drovin::testing::calls_of;
using drovin::testing::read_record;
using drovin::testing::ScratchDir;
using drovin::testing::WdiCall;
using namespace std::string_view_literals;

class InstallUsbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    log::init(log::LogFilter::parse("trace"),
              std::make_shared<spdlog::sinks::ostream_sink_mt>(log_));
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());  // libwdi stages relative to it
    setenv("DROVIN_WDI_RECORD", (dir_ / "record").c_str(), 1);
    scenario("");
  }
  void TearDown() override {
    std::filesystem::current_path(previous_dir_);
    unsetenv("DROVIN_WDI_RECORD");
    unsetenv("DROVIN_WDI_SCENARIO");
    wdi_standin_reset();
  }

  void scenario(std::string_view text) {
    dir_.write("scenario", text);
    setenv("DROVIN_WDI_SCENARIO", (dir_ / "scenario").c_str(), 1);
    wdi_standin_reset();
  }
  std::vector<WdiCall> calls() const { return read_record(dir_ / "record"); }

  std::ostringstream log_;
  ScratchDir dir_;
  std::filesystem::path previous_dir_;
};

TEST_F(InstallUsbDriver, VendorNameWithNulIsAnInternalErrorBeforeAnythingIsPrepared) {
  auto vendor_name = "Tavrin\0Systems"sv;
  auto result = install_usb_driver(DriverType::Libusbk, {0x7A11, vendor_name}, {0x1300, "Vexo"},
                                   std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), InstallError::Kind::Internal);
  EXPECT_EQ(result.error().message(), "Invalid vendor name: Tavrin\0Systems"sv);
  EXPECT_EQ(result.error().display(), "internal error: Invalid vendor name: Tavrin\0Systems"sv);
  auto record = calls();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_EQ(record[0].function, "wdi_set_log_level");
  EXPECT_NE(log_.str().find("Preparing driver Libusbk for USB device 7a11:1300"),
            std::string::npos);
}

TEST_F(InstallUsbDriver, ProductNameWithNulIsAnInternalError) {
  auto result = install_usb_driver(DriverType::Libusbk, {0x7A11, "Tavrin Systems, Inc."},
                                   {0x1300, "Vexo\0"sv}, std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "internal error: Invalid product name: Vexo\0"sv);
  EXPECT_TRUE(calls_of(calls(), "wdi_prepare_driver").empty());
}

TEST_F(InstallUsbDriver, InterfaceNumberMakesTheDeviceCompositeAndMatchesThatInterfaceOnly) {
  scenario(
      "device vid=7a11 pid=0001 hardware_id=whole\n"
      "device vid=7a11 pid=0001 mi=2 hardware_id=mi2 device_id=dev2\n"
      "device vid=7a11 pid=0001 mi=3 hardware_id=mi3\n");
  auto result =
      install_usb_driver(DriverType::Winusb, {0x7A11, "Tavrin Systems, Inc."}, {0x0001, "Part"}, 2);
  ASSERT_TRUE(result) << result.error().display();

  auto prepare = calls_of(calls(), "wdi_prepare_driver");
  ASSERT_EQ(prepare.size(), 1u);
  EXPECT_EQ(prepare[0].number("is_composite"), 1);
  EXPECT_EQ(prepare[0].number("mi"), 2);
  EXPECT_EQ(prepare[0].number("driver_type"), 0);
  EXPECT_EQ(prepare[0].text("path"), "usb_device_7a11_0001");
  EXPECT_EQ(prepare[0].text("inf_name"), "usb_device_7a11_0001.inf");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "usb_device_7a11_0001" / "usb_device_7a11_0001.inf"));

  auto installs = calls_of(calls(), "wdi_install_driver");
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_EQ(installs[0].text("hardware_id"), "mi2");
  EXPECT_EQ(installs[0].text("device_id"), "dev2");
  EXPECT_EQ(installs[0].number("is_composite"), 1);
  EXPECT_EQ(installs[0].number("mi"), 2);
  EXPECT_NE(log_.str().find("Examining device 7a11:0001.3"), std::string::npos);
  EXPECT_NE(log_.str().find("Preparing driver Winusb for USB device 7a11:0001"), std::string::npos);
}

}  // namespace
}  // namespace drovin::wdi
