#include "velk/src/c/error.h"

#include <array>

namespace velk {
namespace {

struct Names {
  std::string_view debug;
  std::string_view message;
};

constexpr std::array<Names, kUsbErrors> kUsbNames{{
    {"Success", "Success"},
    {"Io", "Input/Output Error"},
    {"InvalidParam", "Invalid parameter"},
    {"Access", "Access denied (insufficient permissions)"},
    {"NoDevice", "No such device (it may have been disconnected)"},
    {"NotFound", "Entity not found"},
    {"Busy", "Resource busy"},
    {"Timeout", "Operation timed out"},
    {"Overflow", "Overflow"},
    {"Pipe", "Pipe error"},
    {"Interrupted", "System call interrupted (perhaps due to signal)"},
    {"NoMem", "Insufficient memory"},
    {"NotSupported", "Operation not supported or unimplemented on this platform"},
    {"Other", "Other error"},
}};

constexpr std::array<Names, kHidErrors> kHidNames{{
    {"Initialized", "Already initialized."},
    {"NotFound", "Device not found."},
    {"General", "General error."},
    {"Write", "Write error."},
    {"Read", "Read error."},
}};

constexpr std::array<Names, kErrorKinds> kKindNames{{
    {"InternalError", "internal error"},
    {"LIBUSBError", "libusb error"},
    {"HIDAPIError", "hidapi error"},
    {"InvalidArgument", "invalid argument"},
    {"EnumerationError", "failed to enumerate devices"},
    {"DeviceError", "device error"},
    {"SpuriousError", "spurious error"},
    {"InvalidImage", "invalid firmware image"},
    {"Timeout", "timeout"},
}};

// Escapes a text the way a quoted debug string shows it.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

enum class Form : std::uint8_t { Display, Debug };

// What an error says after its kind: the libusb or hidapi kind, or the detail text.
std::string payload(const Error& error, Form form) {
  const bool debug = form == Form::Debug;
  switch (error.kind()) {
    case ErrorKind::LIBUSBError:
      return std::string(debug ? debug_name(error.usb()) : message(error.usb()));
    case ErrorKind::HIDAPIError:
      return std::string(debug ? debug_name(error.hid()) : message(error.hid()));
    default:
      return debug ? quoted(error.text()) : error.text();
  }
}

}  // namespace

std::string_view debug_name(UsbError e) {
  return kUsbNames.at(static_cast<std::size_t>(e)).debug;
}
std::string_view message(UsbError e) {
  return kUsbNames.at(static_cast<std::size_t>(e)).message;
}
std::string_view debug_name(HidError e) {
  return kHidNames.at(static_cast<std::size_t>(e)).debug;
}
std::string_view message(HidError e) {
  return kHidNames.at(static_cast<std::size_t>(e)).message;
}
std::string_view debug_name(ErrorKind k) {
  return kKindNames.at(static_cast<std::size_t>(k)).debug;
}
std::string_view display_name(ErrorKind k) {
  return kKindNames.at(static_cast<std::size_t>(k)).message;
}

UsbError usb_error_from_code(int code) {
  if (code <= -1 && code >= -12) return static_cast<UsbError>(-code);
  return UsbError::Other;
}

std::string Error::display() const {
  return fmt::format("{}: {}", display_name(kind_), payload(*this, Form::Display));
}

std::string Error::debug() const {
  return fmt::format("{}({})", debug_name(kind_), payload(*this, Form::Debug));
}

}  // namespace velk
