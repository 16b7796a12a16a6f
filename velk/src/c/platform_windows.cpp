#include <windows.h>

#include <atomic>
#include <string>

#include "velk/src/c/platform.h"

namespace velk::platform {
namespace {

// Our paths are UTF-8; the file APIs want UTF-16. An empty result means the conversion failed.
std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                              static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      wide.data(), n);
  return wide;
}

// The system's text for the calling thread's last error.
std::string last_error_text() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  return out;
}

bool write_all(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Creates a temporary file beside `path` under a name no other writer uses: the process ID and
// a counter, and CREATE_NEW against whatever an earlier process left behind.
HANDLE create_temporary(std::string_view path, std::wstring& temp) {
  static std::atomic<unsigned> counter{0};
  const std::wstring prefix = widen(temporary_prefix(path, GetCurrentProcessId()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = prefix + std::to_wstring(counter++);
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Renames the temporary file over the target. While another writer's rename of the same target
// is under way, or a scanner has the target open, Windows refuses with access denied or a
// sharing violation for a moment: that is tried again for a while.
bool move_over(const std::wstring& temp, const std::wstring& path) {
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if (attempt == 50 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
      return false;
    Sleep(10);
  }
}

}  // namespace

std::unique_ptr<AppendFile> AppendFile::open(std::string_view utf8_path) {
  std::wstring path = widen(utf8_path);
  if (path.empty()) return nullptr;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<AppendFile>(new AppendFile(reinterpret_cast<std::intptr_t>(file)));
}

AppendFile::~AppendFile() {
  CloseHandle(reinterpret_cast<HANDLE>(native_));
}

void AppendFile::write(std::string_view bytes) noexcept {
  (void)write_all(reinterpret_cast<HANDLE>(native_), bytes.data(), bytes.size());
}

Status replace_file(std::string_view utf8_path,
                    std::span<const std::span<const std::uint8_t>> pieces) {
  const auto failed = [&](const std::string& reason) {
    return fail(ErrorKind::InvalidArgument, "cannot write {}: {}", utf8_path, reason);
  };
  std::wstring path = widen(utf8_path);
  if (path.empty()) return failed("not a valid path");
  std::wstring temp;
  HANDLE file = create_temporary(utf8_path, temp);
  if (file == INVALID_HANDLE_VALUE) return failed(last_error_text());
  bool ok = true;
  for (const auto& data : pieces) {
    ok = ok && write_all(file, reinterpret_cast<const char*>(data.data()), data.size());
  }
  ok = ok && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  if (ok && move_over(temp, path)) return {};
  auto error = failed(last_error_text());  // before DeleteFileW can change the last error
  DeleteFileW(temp.c_str());
  return error;
}

}  // namespace velk::platform
