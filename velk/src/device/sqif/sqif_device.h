// The device in SQIF mode: the serial-flash loader, spoken to with HID output reports
// (commands) and input reports (statuses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "velk/src/c/error.h"
#include "velk/src/device/hid_loader.h"
#include "velk/src/device/mode_ops.h"

namespace velk::sqif {

// Command codes of the loader; 4 is not used.
enum SqifCommand : std::uint8_t {
  SQIF_PING = 0,
  SQIF_RESET = 1,
  SQIF_ERASE = 2,
  SQIF_WRITE = 3,
  SQIF_MANIFEST = 5,
};

// Image bytes per SQIF_WRITE: a 1022-byte report, one under the loader's 1023-byte limit.
constexpr std::size_t kWriteChunk = 1018;

using SqifDevice = HidLoader<OperationMode::SQIF>;

// Opens the loader found under the SQIF identity; hidapi must have been started (LibraryContext).
Result<SqifDevice> connect_sqif();
// One command report: 01, the code, the big-endian payload length when length-prefixed, the
// payload; then, when asked, the wait for this command's status.
Status sqif_command(SqifDevice& device, std::uint8_t code, std::span<const std::uint8_t> payload,
                    bool length_prefixed, bool wait_for_status);
// True when the loader answers a ping with status 0; any failure is false.
bool sqif_ping(SqifDevice& device);
// Restarts the chip; no status comes back.
Status reset_sqif(SqifDevice& device);
// Erases partition 0, the one the image goes to.
Status sqif_erase(SqifDevice& device);
// Appends one chunk of at most kWriteChunk bytes behind the previous one; the first write after
// the erase lands at flash offset 0.
Status sqif_write(SqifDevice& device, std::span<const std::uint8_t> chunk);
// Makes the loader take the written image into use.
Status sqif_manifest(SqifDevice& device);

// The opener sends nothing: the first command in SQIF mode is the flash's erase, or the
// connection's ping once the device is expected to have left.
struct SqifOps {
  using Device = SqifDevice;
  static constexpr UsbIdentity kIdentity = kSqifIdentity;
  static Result<SqifDevice> open(FoundDevice /*found*/) { return connect_sqif(); }
  static bool answers(SqifDevice& device) { return sqif_ping(device); }
  static Status restart(SqifDevice& device) { return reset_sqif(device); }
};

}  // namespace velk::sqif
