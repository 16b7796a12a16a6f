// Ctrl-C. The first one lets the running command finish and stops the chain after it; the
// second ends velkctl at once, removes its temporary files and says in which mode the device
// may be left. A signal belongs to the process, so this is process-wide state.
#pragma once

#include <string>
#include <string_view>

namespace velkctl {

class Interrupts {
 public:
  // Starts watching for Ctrl-C (SIGINT and SIGTERM on POSIX, console control events on Windows).
  static void install();
  static bool stop_requested();

  // What runs now, and what a second Ctrl-C would leave behind: the device's possible mode.
  static void running(std::string_view command, std::string_view device_left);
  static void idle();

  // Files removed by a second Ctrl-C: velkctl's own, and the temporary files the library makes
  // beside `target` while it writes a dump there.
  static void add_temporary(const std::string& path);
  static void remove_temporary(const std::string& path);
  static void watch_dump_target(const std::string& target);
};

}  // namespace velkctl
