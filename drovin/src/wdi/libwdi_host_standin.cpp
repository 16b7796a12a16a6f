// The libwdi stand-in has no logger to forward, and it takes a relative directory as relative
// to the current one.
#include "drovin/src/wdi/libwdi_host.h"

namespace drovin::wdi {

LibwdiLogForwarding::LibwdiLogForwarding() = default;
LibwdiLogForwarding::~LibwdiLogForwarding() = default;

void flush_libwdi_log() {}

std::string libwdi_directory(std::string_view relative) {
  return std::string(relative);
}

}  // namespace drovin::wdi
