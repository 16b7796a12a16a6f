// The real libwdi's host side.
//
// libwdi hands its log lines to a host through a window: it writes each line into a pipe and
// posts the window a message, or sends one (which runs the window procedure at once) when the
// pipe is about to fill. A message-only window on the installer's one thread reads a line per
// message; flush_libwdi_log dispatches the posted ones after each libwdi call.
#include <libwdi.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "drovin/src/log/setup.h"
#include "drovin/src/wdi/libwdi_host.h"
#include "drovin/src/wdi/lossy_utf8.h"
#include "drovin/src/wdi/wdi_error.h"

namespace drovin::wdi {

namespace {

constexpr UINT kLogLineMessage = WM_APP + 1;
constexpr const wchar_t* kWindowClass = L"drovin-libwdi-log";

HWND log_window = nullptr;

void read_line() {
  std::array<char, 1024> line{};  // libwdi's lines are at most 512 bytes
  DWORD size = 0;
  if (wdi_read_logger(line.data(), static_cast<DWORD>(line.size()), &size) != WDI_SUCCESS) return;
  if (size == 0) return;
  // The size counts the terminating NUL that libwdi writes.
  std::string_view text(line.data(), strnlen(line.data(), size));
  log::wdi_logger()->debug("{}", lossy_utf8(text));
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kLogLineMessage) {
    // Nothing may unwind through Windows' frames; a line that cannot be logged is dropped.
    try {
      read_line();
    } catch (...) {
    }
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

LibwdiLogForwarding::LibwdiLogForwarding() {
  auto log = log::wdi_logger();
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClass;
  if (RegisterClassExW(&window_class) == 0) {
    log->debug("libwdi's log stays on the console: no window class ({})", GetLastError());
    return;
  }
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                window_class.hInstance, nullptr);
  if (window == nullptr) {
    log->debug("libwdi's log stays on the console: no window ({})", GetLastError());
    return;
  }
  if (int rc = wdi_register_logger(window, kLogLineMessage, 0); rc != WDI_SUCCESS) {
    log->debug("libwdi's log stays on the console: wdi_register_logger returned {}",
               name(wdi_error_from_code(rc)));
    DestroyWindow(window);
    return;
  }
  log_window = window;
}

LibwdiLogForwarding::~LibwdiLogForwarding() {
  if (log_window == nullptr) return;
  flush_libwdi_log();
  wdi_unregister_logger(log_window);
  DestroyWindow(log_window);
  log_window = nullptr;
}

void flush_libwdi_log() {
  if (log_window == nullptr) return;
  MSG message;
  while (PeekMessageW(&message, log_window, kLogLineMessage, kLogLineMessage, PM_REMOVE)) {
    DispatchMessageW(&message);
  }
}

// libwdi creates a relative directory in the program's folder (its "current directory" helper
// reads the program's path) but writes the package's files relative to the real current
// directory, so the two meet only when the program is started from its own folder; elsewhere
// wdi_prepare_driver fails with Resource ("Could not create file", the folder is missing), and
// with Access once a stale folder sits beside the program. An absolute path names one place.
std::string libwdi_directory(std::string_view relative) {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  std::vector<wchar_t> current(length + 1);
  length = GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
  if (length == 0 || length >= current.size()) return std::string(relative);
  int size = WideCharToMultiByte(CP_UTF8, 0, current.data(), static_cast<int>(length), nullptr, 0,
                                 nullptr, nullptr);
  std::string path(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, current.data(), static_cast<int>(length), path.data(), size,
                      nullptr, nullptr);
  if (!path.ends_with('\\')) path += '\\';
  return path.append(relative);
}

}  // namespace drovin::wdi
