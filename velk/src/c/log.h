// The library's log. A statement whose level does not pass the global maximum costs one
// comparison and formats nothing.
#pragma once

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "velk/src/c/error.h"

namespace velk::log {

// Record levels share their numbers with the filters: a record passes a filter when its
// number is not above the filter's. Off (0) passes nothing.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline std::atomic<std::uint8_t> g_max_level{0};

// Every line starts with the UTC time ("14:03:07") and its level (" [ERROR] "). The hosts that
// read the log back (velkctl, the Python binding) find an error record's message by them.
inline constexpr std::size_t kTimeWidth = 8;
inline constexpr std::array<std::string_view, 6> kLevelFields{"",         " [ERROR] ", " [WARN] ",
                                                              " [INFO] ", " [DEBUG] ", " [TRACE] "};

// The message of an error record's line; nothing for a line of another level.
std::optional<std::string_view> error_record_message(std::string_view line);

inline bool enabled(Level level) {
  return static_cast<std::uint8_t>(level) <= g_max_level.load(std::memory_order_relaxed);
}

// Writes one record through the installed logger, if there is one.
void write(Level level, std::string_view target, const char* file, std::uint32_t line,
           fmt::string_view format, fmt::format_args args);

// The set-up behind velk_init. Level 0 installs nothing and reads no path. A path that is null,
// not UTF-8 or cannot be opened is an InvalidArgument; a second logger is an InternalError (the
// first stays in use, though the global maximum level is the new one).
Status setup(const char* path, std::uint32_t level);

// Renders bytes as [ff, fd, c2, 1, 0].
struct Dump {
  const std::uint8_t* data;
  std::size_t size;
};

}  // namespace velk::log

template <>
struct fmt::formatter<velk::log::Dump> : fmt::formatter<std::string_view> {
  auto format(const velk::log::Dump& d, fmt::format_context& ctx) const -> decltype(ctx.out()) {
    auto out = ctx.out();
    *out++ = '[';
    for (std::size_t i = 0; i < d.size; ++i) {
      if (i != 0) out = fmt::format_to(out, ", ");
      out = fmt::format_to(out, "{:x}", d.data[i]);
    }
    *out++ = ']';
    return out;
  }
};

namespace velk::log {

template <class... Args>
void emit(Level level, std::string_view target, const char* file, std::uint32_t line,
          fmt::format_string<Args...> format, Args&&... args) {
  write(level, target, file, line, format, fmt::make_format_args(args...));
}

}  // namespace velk::log

// VELK_LOG(velk::log::Level::Debug, "velk::device", "Enumerating devices ({}/{})", i, n);
#define VELK_LOG(level, target, ...)                                     \
  do {                                                                   \
    if (::velk::log::enabled(level)) {                                   \
      ::velk::log::emit(level, target, __FILE__, __LINE__, __VA_ARGS__); \
    }                                                                    \
  } while (0)

#define VELK_ERROR(target, ...) VELK_LOG(::velk::log::Level::Error, target, __VA_ARGS__)
#define VELK_WARN(target, ...) VELK_LOG(::velk::log::Level::Warn, target, __VA_ARGS__)
#define VELK_INFO(target, ...) VELK_LOG(::velk::log::Level::Info, target, __VA_ARGS__)
#define VELK_DEBUG(target, ...) VELK_LOG(::velk::log::Level::Debug, target, __VA_ARGS__)
#define VELK_TRACE(target, ...) VELK_LOG(::velk::log::Level::Trace, target, __VA_ARGS__)
