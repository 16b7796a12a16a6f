// The few file operations that differ between Windows and POSIX, behind one interface.
// platform_windows.cpp and platform_posix.cpp implement it; the build picks one.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "velk/src/c/error.h"

namespace velk::platform {

// A file opened for appending whole lines; other processes may read, write or delete it
// meanwhile (on Windows that needs explicit share modes).
class AppendFile {
 public:
  // Creates the file or opens it, keeping its content. Null when it cannot be opened.
  static std::unique_ptr<AppendFile> open(std::string_view utf8_path);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Writes the bytes unbuffered; a failure drops the rest silently.
  void write(std::string_view bytes) noexcept;

 private:
  explicit AppendFile(std::intptr_t native) : native_(native) {}
  std::intptr_t native_;
};

// Writes the pieces, in order, to the file at the path, creating it or replacing its content.
// They go to a temporary file beside it first, created under a name of its own so that two
// writers of one path never share it, and renamed over the path at the end: a failure never
// leaves a half-written file in its place, nor the temporary file. A failure is an
// InvalidArgument naming the path and the system's reason.
Status replace_file(std::string_view utf8_path,
                    std::span<const std::span<const std::uint8_t>> pieces);

inline Status replace_file(std::string_view utf8_path, std::span<const std::uint8_t> data) {
  return replace_file(utf8_path, std::span(&data, 1));
}

// replace_file's temporary files for `path` are named this prefix and a counter. A host stopped
// midway (velkctl on a second Ctrl-C) removes those of its own process by it.
inline std::string temporary_prefix(std::string_view path, std::uint64_t process_id) {
  return std::string(path) + ".velk-tmp-" + std::to_string(process_id) + "-";
}

}  // namespace velk::platform
