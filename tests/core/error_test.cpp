#include "velk/src/c/error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace velk {
namespace {

// An error of each kind: the libusb and hidapi kinds carry a failure kind, the others a text.
Error error_of(ErrorKind kind, std::string text = "x") {
  if (kind == ErrorKind::LIBUSBError) return Error(UsbError::Io);
  if (kind == ErrorKind::HIDAPIError) return Error(HidError::Read);
  return Error(kind, std::move(text));
}

TEST(Error, EveryKindHasItsOwnCodeNamesAndForms) {
  std::set<std::int32_t> codes;
  std::set<std::string_view> debug_names;
  std::set<std::string_view> display_names;
  for (std::size_t i = 0; i < kErrorKinds; ++i) {
    const auto kind = static_cast<ErrorKind>(i);
    const Error error = error_of(kind);
    // Codes follow the kind order from -65535, so adding 65535 gives the kind's number back.
    EXPECT_EQ(error.code(), static_cast<std::int32_t>(i) - 65535);
    EXPECT_EQ(error.kind(), kind);
    codes.insert(error.code());
    debug_names.insert(debug_name(kind));
    display_names.insert(display_name(kind));
    EXPECT_TRUE(error.display().starts_with(std::string(display_name(kind)) + ": "))
        << error.display();
    EXPECT_TRUE(error.debug().starts_with(std::string(debug_name(kind)) + "(")) << error.debug();
    EXPECT_TRUE(error.debug().ends_with(")")) << error.debug();
  }
  EXPECT_EQ(codes.size(), kErrorKinds);
  EXPECT_EQ(debug_names.size(), kErrorKinds);
  EXPECT_EQ(display_names.size(), kErrorKinds);
  // The ends of the range, also as the 32-bit patterns the log set-up documents.
  EXPECT_EQ(static_cast<std::uint32_t>(code_of(ErrorKind::InternalError)), 0xFFFF0001u);
  EXPECT_EQ(static_cast<std::uint32_t>(code_of(ErrorKind::Timeout)), 0xFFFF0009u);
}

TEST(Error, DisplayFormsWrapTheirPayload) {
  EXPECT_EQ(Error(ErrorKind::DeviceError, "device did not re-enumerate in DSP mode").display(),
            "device error: device did not re-enumerate in DSP mode");
  EXPECT_EQ(Error(ErrorKind::EnumerationError, "x").display(), "failed to enumerate devices: x");
  EXPECT_EQ(Error(UsbError::NoDevice).display(),
            "libusb error: No such device (it may have been disconnected)");
  EXPECT_EQ(Error(HidError::Write).display(), "hidapi error: Write error.");
  // A text payload is shown unchanged, whatever it holds.
  for (std::size_t i = 0; i < kErrorKinds; ++i) {
    const auto kind = static_cast<ErrorKind>(i);
    if (kind == ErrorKind::LIBUSBError || kind == ErrorKind::HIDAPIError) continue;
    EXPECT_EQ(Error(kind, "a \"b\"\n").display(), std::string(display_name(kind)) + ": a \"b\"\n");
  }
}

TEST(Error, DebugFormsNameTheKindAndEscapeText) {
  EXPECT_EQ(Error(UsbError::NotSupported).debug(), "LIBUSBError(NotSupported)");
  EXPECT_EQ(Error(HidError::General).debug(), "HIDAPIError(General)");
  EXPECT_EQ(Error(ErrorKind::DeviceError, "plain").debug(), "DeviceError(\"plain\")");
  EXPECT_EQ(Error(ErrorKind::InvalidImage, "say \"hi\" \\ now\n\t\x01").debug(),
            "InvalidImage(\"say \\\"hi\\\" \\\\ now\\n\\t\\u{1}\")");
}

// Each libusb or hidapi failure kind has a message and a debug name of its own, which the
// error's two forms show.
template <class Failure>
void expect_own_texts(std::size_t count, const std::string& display, const std::string& debug) {
  std::set<std::string_view> messages;
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < count; ++i) {
    const auto failure = static_cast<Failure>(i);
    messages.insert(message(failure));
    names.insert(debug_name(failure));
    EXPECT_EQ(Error(failure).display(), display + std::string(message(failure)));
    EXPECT_EQ(Error(failure).debug(), debug + "(" + std::string(debug_name(failure)) + ")");
  }
  EXPECT_EQ(messages.size(), count);
  EXPECT_EQ(names.size(), count);
}

TEST(Error, EveryLibusbAndHidapiKindHasItsOwnMessage) {
  expect_own_texts<UsbError>(kUsbErrors, "libusb error: ", "LIBUSBError");
  expect_own_texts<HidError>(kHidErrors, "hidapi error: ", "HIDAPIError");
  EXPECT_EQ(message(UsbError::Other), "Other error");
  EXPECT_EQ(message(HidError::Initialized), "Already initialized.");
}

TEST(Error, LibusbCodesMapToKinds) {
  // libusb's codes -1 to -12 are the kinds' own numbers; any other is Other.
  for (int code = -1; code >= -12; --code) {
    EXPECT_EQ(static_cast<int>(usb_error_from_code(code)), -code);
    EXPECT_NE(usb_error_from_code(code), UsbError::Other);
  }
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
