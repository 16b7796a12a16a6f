#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "drovin/src/wdi/driver_type.h"
#include "drovin/src/wdi/install.h"
#include "drovin/src/wdi/install_error.h"
#include "drovin/src/wdi/staging.h"
#include "drovin/src/wdi/wdi_error.h"

namespace drovin::wdi {
namespace {

TEST(WdiErrorNames, EveryLibwdiCodeHasItsName) {
  const std::vector<std::pair<int, std::string>> table{
      {-1, "Io"},           {-2, "InvalidParam"}, {-3, "Access"},
      {-4, "NoDevice"},     {-5, "NotFound"},     {-6, "Busy"},
      {-7, "Timeout"},      {-8, "Overflow"},     {-9, "PendingInstallation"},
      {-10, "Interrupted"}, {-11, "Resource"},    {-12, "NotSupported"},
      {-13, "Exists"},      {-14, "UserCancel"},  {-15, "NeedsAdmin"},
      {-16, "Wow64"},       {-17, "InfSyntax"},   {-18, "CatMissing"},
      {-19, "Unsigned"},    {-99, "Other"},
  };
  for (const auto& [code, expected] : table) {
    EXPECT_EQ(name(wdi_error_from_code(code)), expected) << code;
    EXPECT_EQ(InstallError::libwdi("wdi_prepare_driver", code).message(),
              "wdi_prepare_driver returned " + expected);
  }
}

TEST(WdiErrorNames, UnlistedCodesReadAsOther) {
  for (int code : {-20, -42, -98, -100, 1, 7, INT_MIN, INT_MAX}) {
    EXPECT_EQ(wdi_error_from_code(code), WdiError::Other) << code;
    EXPECT_EQ(name(wdi_error_from_code(code)), "Other") << code;
  }
}

TEST(InstallErrorDisplay, EachKindHasItsPrefix) {
  auto libwdi = InstallError::libwdi("wdi_install_driver", -15);
  EXPECT_EQ(libwdi.kind(), InstallError::Kind::Libwdi);
  EXPECT_EQ(libwdi.display(), "libwdi error: wdi_install_driver returned NeedsAdmin");

  auto internal = InstallError::internal("Invalid vendor name: x");
  EXPECT_EQ(internal.kind(), InstallError::Kind::Internal);
  EXPECT_EQ(internal.display(), "internal error: Invalid vendor name: x");
}

TEST(DriverTypeNames, MatchLibwdiNumbering) {
  const std::vector<std::pair<int, std::string>> table{
      {0, "Winusb"}, {1, "Libusb0"}, {2, "Libusbk"}, {3, "Cdc"}, {4, "User"}, {5, "NbDrivers"}};
  for (const auto& [value, expected] : table) {
    EXPECT_EQ(debug_name(static_cast<DriverType>(value)), expected);
  }
}

TEST(StagingNames, FourLowerCaseHexDigitsZeroFilled) {
  EXPECT_EQ(staging_directory(0x7A11, 0x1300), "usb_device_7a11_1300");
  EXPECT_EQ(inf_file_name(staging_directory(0x7A11, 0x1300)), "usb_device_7a11_1300.inf");
  EXPECT_EQ(staging_directory(0x7A11, 0x0001), "usb_device_7a11_0001");
  EXPECT_EQ(inf_file_name("usb_device_7a11_0001"), "usb_device_7a11_0001.inf");
  EXPECT_EQ(staging_directory(0x0000, 0xABCD), "usb_device_0000_abcd");
  EXPECT_EQ(staging_directory(0xFFFF, 0x0A12), "usb_device_ffff_0a12");
}

TEST(LibwdiLogLevel, FollowsTheLogLevel) {
  EXPECT_EQ(wdi_log_level_for(log::Level::off), 4);
  EXPECT_EQ(wdi_log_level_for(log::Level::err), 3);
  EXPECT_EQ(wdi_log_level_for(log::Level::warn), 2);
  EXPECT_EQ(wdi_log_level_for(log::Level::info), 1);
  EXPECT_EQ(wdi_log_level_for(log::Level::debug), 0);
  EXPECT_EQ(wdi_log_level_for(log::Level::trace), 0);
}

}  // namespace
}  // namespace drovin::wdi
