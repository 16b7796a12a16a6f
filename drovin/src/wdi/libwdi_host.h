#pragma once

#include <string>
#include <string_view>

// What the installer does around libwdi's calls that depends on which libwdi it links: the
// real one (libwdi_host_win32.cpp) or the stand-in (libwdi_host_standin.cpp).
namespace drovin::wdi {

// While alive, the lines libwdi logs go into the drovin::wdi log at debug level, each as
// libwdi wrote it ("libwdi:<its level> [<function>] <text>"), instead of to the console.
// libwdi's level still follows the log's (wdi_set_log_level).
class LibwdiLogForwarding {
 public:
  LibwdiLogForwarding();
  ~LibwdiLogForwarding();
  LibwdiLogForwarding(const LibwdiLogForwarding&) = delete;
  LibwdiLogForwarding& operator=(const LibwdiLogForwarding&) = delete;
};

// Moves the lines that libwdi has logged so far into the log, so that they keep their place
// among the installer's own lines. Called after every libwdi call.
void flush_libwdi_log();

// The staging directory as libwdi is given it, for `relative`, a directory relative to the
// current one.
std::string libwdi_directory(std::string_view relative);

}  // namespace drovin::wdi
