#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "velk/src/c/platform.h"

namespace velk::platform {
namespace {

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Creates a temporary file beside `path` under a name no other writer uses: the process ID and
// a counter, and O_EXCL against whatever an earlier process left behind.
int create_temporary(const std::string& path, std::string& temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp =
        temporary_prefix(path, static_cast<std::uint64_t>(::getpid())) + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

std::unique_ptr<AppendFile> AppendFile::open(std::string_view utf8_path) {
  std::string path(utf8_path);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::unique_ptr<AppendFile>(new AppendFile(fd));
}

AppendFile::~AppendFile() {
  ::close(static_cast<int>(native_));
}

void AppendFile::write(std::string_view bytes) noexcept {
  (void)write_all(static_cast<int>(native_), bytes.data(), bytes.size());
}

Status replace_file(std::string_view utf8_path,
                    std::span<const std::span<const std::uint8_t>> pieces) {
  std::string path(utf8_path);
  const auto failed = [&] {
    return fail(ErrorKind::InvalidArgument, "cannot write {}: {}", path,
                std::generic_category().message(errno));
  };
  std::string temp;
  int fd = create_temporary(path, temp);
  if (fd < 0) return failed();
  bool ok = true;
  for (const auto& data : pieces) {
    ok = ok && write_all(fd, reinterpret_cast<const char*>(data.data()), data.size());
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return {};
  auto error = failed();  // before unlink can change errno
  ::unlink(temp.c_str());
  return error;
}

}  // namespace velk::platform
