#include "drovin/src/wdi/wdi_error.h"

namespace drovin::wdi {

WdiError wdi_error_from_code(int code) {
  if (code <= -1 && code >= -19) return static_cast<WdiError>(code);
  return WdiError::Other;
}

std::string_view name(WdiError error) {
  switch (error) {
    case WdiError::Io:
      return "Io";
    case WdiError::InvalidParam:
      return "InvalidParam";
    case WdiError::Access:
      return "Access";
    case WdiError::NoDevice:
      return "NoDevice";
    case WdiError::NotFound:
      return "NotFound";
    case WdiError::Busy:
      return "Busy";
    case WdiError::Timeout:
      return "Timeout";
    case WdiError::Overflow:
      return "Overflow";
    case WdiError::PendingInstallation:
      return "PendingInstallation";
    case WdiError::Interrupted:
      return "Interrupted";
    case WdiError::Resource:
      return "Resource";
    case WdiError::NotSupported:
      return "NotSupported";
    case WdiError::Exists:
      return "Exists";
    case WdiError::UserCancel:
      return "UserCancel";
    case WdiError::NeedsAdmin:
      return "NeedsAdmin";
    case WdiError::Wow64:
      return "Wow64";
    case WdiError::InfSyntax:
      return "InfSyntax";
    case WdiError::CatMissing:
      return "CatMissing";
    case WdiError::Unsigned:
      return "Unsigned";
    case WdiError::Other:
      return "Other";
  }
  return "Other";
}

}  // namespace drovin::wdi
