// The frame every exported function runs in: no failure crosses the C boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>

#include "velk.h"
#include "velk/src/c/error.h"
#include "velk/src/c/log.h"
#include "velk/src/device/connection.h"

// The object behind a velk_handle.
struct velk_device {
  explicit velk_device(const velk::LibraryContext& context) : connection(context) {}

  std::mutex lock;  // held for the whole of a handle function, sleeps and callbacks included
  bool poisoned = false;
  velk::DeviceConnection connection;
};

namespace velk {

inline constexpr std::string_view kCTarget = "velk::c";

// Where a failure leaves the library: its one log record, then its result code.
inline std::int32_t report(const Error& error) {
  VELK_ERROR(kCTarget, "{}", error.display());
  return error.code();
}

// An internal failure's one error record says only that one happened; its own text goes
// beside it at debug level, so that a log taken at debug says what failed.
inline std::int32_t caught(std::string_view text) {
  VELK_ERROR(kCTarget, "Caught exception: {}", "Any");
  VELK_DEBUG(kCTarget, "Exception text: {}", text);
  return code_of(ErrorKind::InternalError);
}

// Runs the body; an internal failure escaping it is logged and becomes an internal error's code.
template <class Body>
std::int32_t guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    return caught(e.what());
  } catch (...) {
    return caught("unknown");
  }
}

// The result of a body that has no value of its own.
inline Result<std::int32_t> done(Status status) {
  if (!status) return std::unexpected(std::move(status.error()));
  return 0;
}

// A null pointer where the host must pass one, refused before the handle is touched.
inline std::int32_t reject_null(const char* what) {
  return guarded(
      [&] { return report(Error(ErrorKind::InvalidArgument, fmt::format("null {}", what))); });
}

// The frame of a handle function: lock, refuse a poisoned handle, run, log an Error once and
// turn it into its code. An internal failure passing out under the lock poisons the handle.
template <class Body>
std::int32_t with_handle(velk_handle handle, Body&& body) noexcept {
  return guarded([&]() -> std::int32_t {
    if (handle == nullptr) return report(Error(ErrorKind::InvalidArgument, "null handle"));
    std::lock_guard lock(handle->lock);
    if (handle->poisoned) throw InternalFailure("poisoned handle");
    try {
      Result<std::int32_t> outcome = body(handle->connection);
      if (!outcome) {
        handle->connection.note_failure(outcome.error());
        return report(outcome.error());
      }
      return *outcome;
    } catch (...) {
      handle->poisoned = true;
      throw;
    }
  });
}

// The frame of an operation that needs the device in one mode: a handle function that switches
// with `ensure`, runs the body on the connection, and restarts the device only after the body
// succeeded. After a failure the device stays in the mode; the next operation's own switch
// leaves it.
template <class Body>
std::int32_t in_mode(velk_handle handle, Status (DeviceConnection::*ensure)(),
                     Body&& body) noexcept {
  return with_handle(handle, [&](DeviceConnection& connection) -> Result<std::int32_t> {
    VELK_TRY((connection.*ensure)());
    VELK_TRY(body(connection));
    return done(connection.reset());
  });
}

}  // namespace velk
