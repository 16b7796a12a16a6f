#pragma once

#include <string>
#include <string_view>

namespace drovin::wdi {

// Why install_usb_driver gave up.
class InstallError {
 public:
  enum class Kind { Internal, Libwdi };

  static InstallError internal(std::string message) { return {Kind::Internal, std::move(message)}; }
  // "<function> returned <WdiError name>" for a failing libwdi call.
  static InstallError libwdi(std::string_view function, int code);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // "internal error: ..." or "libwdi error: ...".
  std::string display() const;

 private:
  InstallError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

}  // namespace drovin::wdi
