#include "velk/src/c/error.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(Error, CodesFollowTheFixedKindOrder) {
  const std::pair<ErrorKind, std::int32_t> expected[] = {
      {ErrorKind::InternalError, -65535},    {ErrorKind::InvalidArgument, -65532},
      {ErrorKind::EnumerationError, -65531}, {ErrorKind::DeviceError, -65530},
      {ErrorKind::SpuriousError, -65529},    {ErrorKind::InvalidImage, -65528},
      {ErrorKind::Timeout, -65527}};
  for (auto [kind, code] : expected) EXPECT_EQ(Error(kind, "x").code(), code);
  EXPECT_EQ(Error(UsbError::NoDevice).code(), -65534);
  EXPECT_EQ(Error(HidError::Write).code(), -65533);
  // As the 32-bit patterns the log set-up documents.
  EXPECT_EQ(static_cast<std::uint32_t>(Error(ErrorKind::InternalError, "").code()), 0xFFFF0001u);
  EXPECT_EQ(static_cast<std::uint32_t>(Error(ErrorKind::Timeout, "").code()), 0xFFFF0009u);
}

TEST(Error, DisplayFormsWrapTheirPayload) {
  EXPECT_EQ(Error(ErrorKind::DeviceError, "device did not re-enumerate in DSP mode").display(),
            "device error: device did not re-enumerate in DSP mode");
  EXPECT_EQ(Error(ErrorKind::InternalError, "x").display(), "internal error: x");
  EXPECT_EQ(Error(ErrorKind::InvalidArgument, "x").display(), "invalid argument: x");
  EXPECT_EQ(Error(ErrorKind::EnumerationError, "x").display(), "failed to enumerate devices: x");
  EXPECT_EQ(Error(ErrorKind::SpuriousError, "x").display(), "spurious error: x");
  EXPECT_EQ(Error(ErrorKind::InvalidImage, "x").display(), "invalid firmware image: x");
  EXPECT_EQ(Error(ErrorKind::Timeout, "x").display(), "timeout: x");
  EXPECT_EQ(Error(UsbError::NoDevice).display(),
            "libusb error: No such device (it may have been disconnected)");
  EXPECT_EQ(Error(HidError::Write).display(), "hidapi error: Write error.");
}

TEST(Error, DebugFormsNameTheKindAndEscapeText) {
  EXPECT_EQ(Error(UsbError::NotSupported).debug(), "LIBUSBError(NotSupported)");
  EXPECT_EQ(Error(HidError::General).debug(), "HIDAPIError(General)");
  EXPECT_EQ(Error(ErrorKind::DeviceError, "plain").debug(), "DeviceError(\"plain\")");
  EXPECT_EQ(Error(ErrorKind::InvalidImage, "say \"hi\" \\ now\n\t\x01").debug(),
            "InvalidImage(\"say \\\"hi\\\" \\\\ now\\n\\t\\u{1}\")");
}

TEST(Error, EveryUsbKindHasItsMessage) {
  const char* messages[] = {"Success",
                            "Input/Output Error",
                            "Invalid parameter",
                            "Access denied (insufficient permissions)",
                            "No such device (it may have been disconnected)",
                            "Entity not found",
                            "Resource busy",
                            "Operation timed out",
                            "Overflow",
                            "Pipe error",
                            "System call interrupted (perhaps due to signal)",
                            "Insufficient memory",
                            "Operation not supported or unimplemented on this platform",
                            "Other error"};
  for (int i = 0; i <= 13; ++i) EXPECT_EQ(message(static_cast<UsbError>(i)), messages[i]);
  const char* hid[] = {"Already initialized.", "Device not found.", "General error.",
                       "Write error.", "Read error."};
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(message(static_cast<HidError>(i)), hid[i]);
}

TEST(Error, LibusbCodesMapToKinds) {
  for (int code = -1; code >= -12; --code)
    EXPECT_EQ(static_cast<int>(usb_error_from_code(code)), -code);
  EXPECT_EQ(usb_error_from_code(-99), UsbError::Other);
  EXPECT_EQ(usb_error_from_code(-13), UsbError::Other);
  EXPECT_EQ(Error(usb_error_from_code(-4)).display(),
            "libusb error: No such device (it may have been disconnected)");
}

TEST(Error, TryAssignPassesTheErrorOnUnchanged) {
  auto inner = []() -> Result<int> {
    return fail(ErrorKind::DeviceError, "invalid status: {:#x}", 3);
  };
  auto outer = [&]() -> Result<int> {
    VELK_TRY_ASSIGN(v, inner());
    return v + 1;
  };
  auto r = outer();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "device error: invalid status: 0x3");
}

}  // namespace
}  // namespace velk
