// The library's error value and result codes.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace velk {

// Kinds of failure, in the fixed order that gives each its result code.
enum class ErrorKind : std::uint8_t {
  InternalError = 0,
  LIBUSBError = 1,
  HIDAPIError = 2,
  InvalidArgument = 3,
  EnumerationError = 4,
  DeviceError = 5,
  SpuriousError = 6,
  InvalidImage = 7,
  Timeout = 8,
};

inline constexpr std::size_t kErrorKinds = static_cast<std::size_t>(ErrorKind::Timeout) + 1;

// The result code of a kind: its number minus 65535, so -65535 (InternalError) to -65527
// (Timeout). The only place where result codes are made.
constexpr std::int32_t code_of(ErrorKind kind) {
  return static_cast<std::int32_t>(kind) - 65535;
}

// The kind of a failed libusb call.
enum class UsbError : std::uint8_t {
  Success = 0,
  Io,
  InvalidParam,
  Access,
  NoDevice,
  NotFound,
  Busy,
  Timeout,
  Overflow,
  Pipe,
  Interrupted,
  NoMem,
  NotSupported,
  Other,
};
inline constexpr std::size_t kUsbErrors = static_cast<std::size_t>(UsbError::Other) + 1;

// The kind of a failed hidapi call.
enum class HidError : std::uint8_t {
  Initialized = 0,
  NotFound,
  General,
  Write,
  Read,
};
inline constexpr std::size_t kHidErrors = static_cast<std::size_t>(HidError::Read) + 1;

std::string_view debug_name(UsbError e);
std::string_view message(UsbError e);
std::string_view debug_name(HidError e);
std::string_view message(HidError e);
std::string_view debug_name(ErrorKind k);
// What the display form says before the payload: "device error" in "device error: ...".
std::string_view display_name(ErrorKind k);

// Maps a negative libusb return code to its kind; codes outside -1..-12 are Other.
UsbError usb_error_from_code(int code);

class [[nodiscard]] Error {
 public:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Error(UsbError usb) : kind_(ErrorKind::LIBUSBError), usb_(usb) {}  // NOLINT: implicit on purpose
  Error(HidError hid) : kind_(ErrorKind::HIDAPIError), hid_(hid) {}  // NOLINT: implicit on purpose

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  // Errors move from the failing step to the caller; a deliberate copy says so.
  Error clone() const { return Error(*this, CloneTag{}); }

  ErrorKind kind() const { return kind_; }
  // The detail text; empty for the libusb and hidapi kinds.
  const std::string& text() const { return text_; }
  UsbError usb() const { return usb_; }
  HidError hid() const { return hid_; }

  // "device error: ...", the form every failure is logged in.
  std::string display() const;
  // DeviceError("...") with the text escaped, or LIBUSBError(NotSupported).
  std::string debug() const;
  std::int32_t code() const { return code_of(kind_); }

 private:
  struct CloneTag {};
  Error(const Error& other, CloneTag)
      : kind_(other.kind_), text_(other.text_), usb_(other.usb_), hid_(other.hid_) {}

  ErrorKind kind_;
  std::string text_;
  UsbError usb_ = UsbError::Success;
  HidError hid_ = HidError::Initialized;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

// Builds a failed result with a formatted detail text at the place of failure.
template <class... Args>
std::unexpected<Error> fail(ErrorKind kind, fmt::format_string<Args...> format, Args&&... args) {
  return std::unexpected<Error>(std::in_place, kind,
                                fmt::format(format, std::forward<Args>(args)...));
}

// A broken invariant. It travels as an exception to the guard of the exported function.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velk

// Returns the error of a Result from the enclosing function, which must return a Result.
#define VELK_TRY(expr)                                                                  \
  do {                                                                                  \
    auto velk_try_result_ = (expr);                                                     \
    if (!velk_try_result_) return std::unexpected(std::move(velk_try_result_.error())); \
  } while (0)

// Declares `var` holding the value of a Result, or returns its error.
#define VELK_TRY_ASSIGN(var, expr)                                              \
  auto var##_result_ = (expr);                                                  \
  if (!var##_result_) return std::unexpected(std::move(var##_result_.error())); \
  auto var = std::move(*var##_result_)
