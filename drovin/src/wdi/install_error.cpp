#include "drovin/src/wdi/install_error.h"

#include <fmt/format.h>

#include "drovin/src/wdi/wdi_error.h"

namespace drovin::wdi {

InstallError InstallError::libwdi(std::string_view function, int code) {
  return {Kind::Libwdi, fmt::format("{} returned {}", function, name(wdi_error_from_code(code)))};
}

std::string InstallError::display() const {
  switch (kind_) {
    case Kind::Internal:
      return fmt::format("internal error: {}", message_);
    case Kind::Libwdi:
      return fmt::format("libwdi error: {}", message_);
  }
  return message_;
}

}  // namespace drovin::wdi
