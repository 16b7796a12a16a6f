#include "system_files.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define velkctl_getpid _getpid
#else
#include <unistd.h>
#define velkctl_getpid getpid
#endif

#include "interrupts.h"

namespace velkctl {
namespace fs = std::filesystem;
namespace {

// More than any image the device takes; a file this large is a mistake (or /dev/zero).
constexpr std::size_t kMaxInput = std::size_t{512} << 20;

std::expected<std::vector<std::uint8_t>, std::string> read_stream(std::FILE* f) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  try {
    for (;;) {
      const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
      bytes.insert(bytes.end(), chunk, chunk + n);
      if (bytes.size() > kMaxInput)
        return std::unexpected(
            fmt::format("larger than {} MiB, more than any image", kMaxInput >> 20));
      if (n < sizeof chunk) break;
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected("too large to read into memory");
  }
  if (std::ferror(f) != 0)
    return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
  return bytes;
}

std::string folder_of(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

bool writable_folder(const std::string& folder) {
#ifdef _WIN32
  return _access(folder.c_str(), 2) == 0;
#else
  return access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> SystemFiles::read(const std::string& path) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return read_stream(stdin);
  }
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return std::unexpected("no such file");
  if (ec) return std::unexpected(ec.message());
  if (status.type() == fs::file_type::directory) return std::unexpected("is a directory");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::unexpected(std::string(std::strerror(errno)));
  auto bytes = read_stream(f);
  std::fclose(f);
  return bytes;
}

std::optional<std::string> SystemFiles::cannot_write(const Output& output) {
  if (output.is_stdout()) return std::nullopt;
  std::error_code ec;
  const fs::file_status status = fs::status(output.path, ec);
  if (status.type() == fs::file_type::directory) return "is a directory";
  if (fs::exists(status) && !output.force) return "exists (--force replaces it)";
  const std::string folder = folder_of(output.path);
  const fs::file_status folder_status = fs::status(folder, ec);
  if (folder_status.type() == fs::file_type::not_found)
    return fmt::format("the folder {} does not exist", folder);
  if (folder_status.type() != fs::file_type::directory)
    return fmt::format("{} is not a folder", folder);
  if (!writable_folder(folder)) return fmt::format("the folder {} is not writable", folder);
  return std::nullopt;
}

std::optional<std::string> write_output(const Output& output, std::span<const std::uint8_t> data) {
  if (output.is_stdout()) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const bool ok =
        std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0;
    if (!ok) return fmt::format("cannot write to standard output: {}", std::strerror(errno));
    return std::nullopt;
  }
  const std::string temp = fmt::format("{}.velkctl-tmp-{}", output.path, velkctl_getpid());
  Interrupts::add_temporary(temp);
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  std::string reason = ok ? std::string() : std::strerror(errno);
  std::error_code ec;
  if (ok) {
    fs::rename(temp, output.path, ec);
    if (ec) reason = ec.message();
  }
  if (!reason.empty()) fs::remove(temp, ec);
  Interrupts::remove_temporary(temp);
  if (!reason.empty()) return fmt::format("cannot write {}: {}", output.path, reason);
  return std::nullopt;
}

std::optional<std::string> copy_to_stdout(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return fmt::format("cannot read {}: {}", path, std::strerror(errno));
  auto bytes = read_stream(f);
  std::fclose(f);
  if (!bytes) return fmt::format("cannot read {}: {}", path, bytes.error());
  return write_output(Output{"-", false}, *bytes);
}

std::string temporary_path(const std::string& tag) {
  std::error_code ec;
  fs::path dir = fs::temp_directory_path(ec);
  if (ec) dir = ".";
  static int counter = 0;
  return (dir / fmt::format("velkctl-{}-{}-{}", velkctl_getpid(), counter++, tag)).string();
}

}  // namespace velkctl
