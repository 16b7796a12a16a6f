#include "interrupts.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <windows.h>
#define velkctl_getpid _getpid
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#define velkctl_getpid getpid
#endif

#include "command_line.h"
#include "velk/src/c/platform.h"

namespace velkctl {
namespace {
namespace fs = std::filesystem;

struct State {
  std::mutex mutex;
  std::atomic<int> count{0};
  std::string command;
  std::string device_left;
  std::set<std::string> temporaries;
  std::string dump_target;
};

State& state() {
  static State s;
  return s;
}

// The library's temporary dump files of this process, beside the target.
void remove_library_temporaries(const std::string& target) {
  const fs::path path(target);
  const std::string prefix = velk::platform::temporary_prefix(
      path.filename().string(), static_cast<std::uint64_t>(velkctl_getpid()));
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(prefix)) fs::remove(it->path(), ec);
  }
}

void on_interrupt() {
  State& s = state();
  if (s.count.fetch_add(1) == 0) {
    std::lock_guard lock(s.mutex);
    if (!s.command.empty()) {
      std::fprintf(stderr,
                   "\nvelkctl: Ctrl-C: stopping after %s has finished (Ctrl-C again stops at "
                   "once)\n",
                   s.command.c_str());
    } else {
      std::fputs("\nvelkctl: Ctrl-C: stopping (Ctrl-C again stops at once)\n", stderr);
    }
    return;
  }
  // The main thread holds the lock only for a moment, never during a call into the library.
  std::lock_guard lock(s.mutex);
  std::error_code ec;
  for (const std::string& temp : s.temporaries) fs::remove(temp, ec);
  if (!s.dump_target.empty()) remove_library_temporaries(s.dump_target);
  if (!s.command.empty()) {
    std::fprintf(stderr,
                 "\nvelkctl: stopped at once during %s; the device may be left in %s. The next "
                 "velkctl command that opens it brings it back: it restarts the device into its "
                 "normal mode first.\n",
                 s.command.c_str(), s.device_left.c_str());
  } else {
    std::fputs("\nvelkctl: stopped at once\n", stderr);
  }
  std::fflush(stderr);
  std::_Exit(kExitInterrupted);
}

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  on_interrupt();
  return TRUE;
}
#endif

}  // namespace

void Interrupts::install() {
#ifdef _WIN32
  SetConsoleCtrlHandler(console_handler, TRUE);
#else
  // The signals are taken by a thread of their own, which may do what a handler may not: take
  // locks, list a folder, remove files.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) == 0) on_interrupt();
    }
  }).detach();
#endif
}

bool Interrupts::stop_requested() {
  return state().count.load() > 0;
}

void Interrupts::running(std::string_view command, std::string_view device_left) {
  std::lock_guard lock(state().mutex);
  state().command = command;
  state().device_left = device_left;
}

void Interrupts::idle() {
  std::lock_guard lock(state().mutex);
  state().command.clear();
  state().dump_target.clear();
}

void Interrupts::add_temporary(const std::string& path) {
  std::lock_guard lock(state().mutex);
  state().temporaries.insert(path);
}

void Interrupts::remove_temporary(const std::string& path) {
  std::lock_guard lock(state().mutex);
  state().temporaries.erase(path);
}

void Interrupts::watch_dump_target(const std::string& target) {
  std::lock_guard lock(state().mutex);
  state().dump_target = target;
}

}  // namespace velkctl
