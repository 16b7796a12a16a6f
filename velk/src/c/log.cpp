#include "velk/src/c/log.h"

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "velk/src/c/platform.h"
#include "velk/src/util/utf8.h"
#include "velk_version.h"

namespace velk::log {
namespace {

constexpr std::string_view kVersion = VELK_VERSION_STRING;
constexpr std::string_view kRevision = "b1f23bd";

// Which fields a line carries, by record level: thread and target from debug on, the source
// location only for trace.
constexpr Level kThreadFrom = Level::Debug;
constexpr Level kTargetFrom = Level::Debug;
constexpr Level kLocationFrom = Level::Trace;

bool at_least(Level level, Level threshold) {
  return static_cast<std::uint8_t>(level) >= static_cast<std::uint8_t>(threshold);
}

// Threads are numbered from 1 in the order in which they first log.
std::uint64_t thread_number() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

class Logger {
 public:
  Logger(Level filter, std::unique_ptr<platform::AppendFile> file)
      : filter_(filter), file_(std::move(file)) {}

  void write(Level level, std::string_view target, const char* path, std::uint32_t line,
             fmt::string_view format, fmt::format_args args) {
    if (static_cast<std::uint8_t>(level) > static_cast<std::uint8_t>(filter_)) return;
    fmt::memory_buffer out;
    auto it = std::back_inserter(out);
    // The time of day in UTC, counted without the locale machinery that a calendar formatter
    // would link into every host of this code (the system clock's days have 86400 s).
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const auto of_day = (seconds % 86400 + 86400) % 86400;
    fmt::format_to(it, "{:02}:{:02}:{:02}{}", of_day / 3600, of_day / 60 % 60, of_day % 60,
                   kLevelFields.at(static_cast<std::size_t>(level)));
    if (at_least(level, kThreadFrom)) fmt::format_to(it, "({}) ", thread_number());
    if (at_least(level, kTargetFrom)) fmt::format_to(it, "{}: ", target);
    if (at_least(level, kLocationFrom)) {
      fmt::format_to(it, "[{}:", path ? path : "<unknown>");
      if (line != 0) {
        fmt::format_to(it, "{}] ", line);
      } else {
        fmt::format_to(it, "<unknown>] ");
      }
    }
    fmt::vformat_to(it, format, args);
    out.push_back('\n');
    // One write per line under the lock: lines of different threads never interleave, and a
    // completed line is in the file when the call returns.
    std::lock_guard lock(mutex_);
    file_->write(std::string_view(out.data(), out.size()));
  }

 private:
  Level filter_;
  std::mutex mutex_;
  std::unique_ptr<platform::AppendFile> file_;
};

// Installed once and never removed: it lives until the process ends.
std::atomic<Logger*> g_logger{nullptr};

}  // namespace

std::optional<std::string_view> error_record_message(std::string_view line) {
  const std::string_view field = kLevelFields[static_cast<std::size_t>(Level::Error)];
  if (line.size() < kTimeWidth || !line.substr(kTimeWidth).starts_with(field)) return {};
  return line.substr(kTimeWidth + field.size());
}

void write(Level level, std::string_view target, const char* file, std::uint32_t line,
           fmt::string_view format, fmt::format_args args) {
  Logger* logger = g_logger.load(std::memory_order_acquire);
  if (logger == nullptr) return;
  try {
    logger->write(level, target, file, line, format, args);
  } catch (...) {
    // Logging never changes the outcome of an operation.
  }
}

Status setup(const char* path, std::uint32_t level) {
  if (level == 0) return {};
  Level filter = level >= 5 ? Level::Trace : static_cast<Level>(level);
  if (path == nullptr) return fail(ErrorKind::InvalidArgument, "null log file path");
  std::string_view utf8_path(path);
  if (auto bad = check_utf8(utf8_path)) {
    return fail(ErrorKind::InvalidArgument, "log file path: {}", utf8_error_text(*bad));
  }
  auto file = platform::AppendFile::open(utf8_path);
  if (!file) return fail(ErrorKind::InvalidArgument, "cannot open the log file {}", utf8_path);

  g_max_level.store(static_cast<std::uint8_t>(filter), std::memory_order_relaxed);
  auto logger = std::make_unique<Logger>(filter, std::move(file));
  Logger* expected = nullptr;
  if (!g_logger.compare_exchange_strong(expected, logger.get(), std::memory_order_acq_rel)) {
    // The first logger stays; this one and its file are dropped.
    return fail(ErrorKind::InternalError, "a logger is already set up");
  }
  logger.release();
  VELK_INFO("velk::c", "VELK v{}-g{}", kVersion, kRevision);
  return {};
}

}  // namespace velk::log
