#pragma once

#include <string_view>

namespace drovin::wdi {

// A failing libwdi result code (enum wdi_error). Code 0 is success and has no name here.
enum class WdiError : int {
  Io = -1,
  InvalidParam = -2,
  Access = -3,
  NoDevice = -4,
  NotFound = -5,
  Busy = -6,
  Timeout = -7,
  Overflow = -8,
  PendingInstallation = -9,
  Interrupted = -10,
  Resource = -11,
  NotSupported = -12,
  Exists = -13,
  UserCancel = -14,
  NeedsAdmin = -15,
  Wow64 = -16,
  InfSyntax = -17,
  CatMissing = -18,
  Unsigned = -19,
  Other = -99,
};

// Codes that libwdi does not define read as Other.
WdiError wdi_error_from_code(int code);

std::string_view name(WdiError error);

}  // namespace drovin::wdi
