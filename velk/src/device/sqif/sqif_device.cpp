#include "velk/src/device/sqif/sqif_device.h"

#include <array>
#include <chrono>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"
#include "velk/src/device/identity.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::sqif {
namespace {

enum ReportId : std::uint8_t { kCommandReport = 0x01, kStatusReport = 0x02 };
constexpr std::size_t kMaxReport = 1023;
constexpr std::size_t kStatusLength = 3;
constexpr std::chrono::milliseconds kStatusRead = std::chrono::seconds(1);
constexpr Nanos kBusyBackoff = std::chrono::milliseconds(5);
// The loader answers every command, with busy while it works. A loader silent for this long
// is gone; without a limit the host would wait forever.
constexpr Nanos kSilenceLimit = std::chrono::seconds(30);
// However often it answers busy, no command takes longer than this. The longest is the erase
// of the whole serial flash: an 8 MiB part takes about 20 s typically and 100 s at most for a
// chip erase, or 128 blocks of 64 KiB at up to 2 s each (256 s) when erased block by block.
constexpr Nanos kBusyCeiling = std::chrono::minutes(5);
// Reports that answer another command are left over from before; the host's HID driver keeps
// few of them (Linux: 64). A loader that sends more is stuck sending.
constexpr std::size_t kMaxForeignReports = 256;

// The one-byte payloads: the partition to erase, the restart and the manifest arguments.
enum Argument : std::uint8_t {
  kPartition0 = 0x00,
  kResetArgument = 0x01,
  kManifestArgument = 0x03
};

enum LoaderStatus : std::uint8_t { kDone = 0, kBusy = 1, kFailed = 2 };

}  // namespace

Result<SqifDevice> connect_sqif() {
  VELK_TRY_ASSIGN(device, open_hid_loader(kSqifIdentity));
  VELK_DEBUG(kSqifLogTarget, "Connected to the device in SQIF mode");
  return SqifDevice(std::move(device));
}

Status sqif_command(SqifDevice& device, std::uint8_t code, std::span<const std::uint8_t> payload,
                    bool length_prefixed, bool wait_for_status) {
  std::array<std::uint8_t, kMaxReport> report{};
  std::size_t header = length_prefixed ? 4 : 2;
  if (header + payload.size() > kMaxReport)
    return fail(ErrorKind::InternalError, "payload too large");
  report[0] = kCommandReport;
  report[1] = code;
  if (length_prefixed) store_be16(report, 2, static_cast<std::uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), report.begin() + static_cast<std::ptrdiff_t>(header));
  std::size_t length = header + payload.size();

  VELK_TRY_ASSIGN(written, device.hid().write(std::span(report.data(), length)));
  if (written < length) {
    return fail(ErrorKind::DeviceError, "partial HID report write: {:#x} < {:#x}", written, length);
  }
  if (!wait_for_status) return {};

  const Nanos sent = monotonic_now();
  Nanos last_answer = sent;
  std::size_t foreign = 0;
  for (;;) {
    std::array<std::uint8_t, kStatusLength> status{};
    VELK_TRY_ASSIGN(count, device.hid().read_timeout(status, kStatusRead));
    const Nanos now = monotonic_now();
    // A report cut short would read as status 0 from the cleared buffer: never take it as done.
    const bool ours = count == kStatusLength && status[0] == kStatusReport && status[1] == code;
    if (ours) {
      last_answer = now;
      switch (status[2]) {
        case kDone:
          return {};
        case kBusy:
          break;
        case kFailed:
          return fail(ErrorKind::DeviceError, "failed command status");
        default:
          return fail(ErrorKind::DeviceError, "invalid status: {:#x}", status[2]);
      }
    }
    if (!ours && count != 0 && ++foreign > kMaxForeignReports) {
      return fail(ErrorKind::SpuriousError, "no status among {:#x} reports for other commands",
                  kMaxForeignReports);
    }
    if (now - last_answer >= kSilenceLimit)
      return fail(ErrorKind::Timeout, "no status for SQIF command {:#x}", code);
    if (now - sent >= kBusyCeiling)
      return fail(ErrorKind::Timeout, "SQIF command {:#x} still busy after 5 minutes", code);
    if (ours) sleep_for(kBusyBackoff);
  }
}

bool sqif_ping(SqifDevice& device) {
  return sqif_command(device, SQIF_PING, {}, /*length_prefixed=*/false, /*wait_for_status=*/true)
      .has_value();
}

Status reset_sqif(SqifDevice& device) {
  constexpr std::array<std::uint8_t, 1> kPayload{kResetArgument};
  return sqif_command(device, SQIF_RESET, kPayload, /*length_prefixed=*/false,
                      /*wait_for_status=*/false);
}

Status sqif_erase(SqifDevice& device) {
  constexpr std::array<std::uint8_t, 1> kPayload{kPartition0};
  return sqif_command(device, SQIF_ERASE, kPayload, /*length_prefixed=*/false,
                      /*wait_for_status=*/true);
}

Status sqif_write(SqifDevice& device, std::span<const std::uint8_t> chunk) {
  return sqif_command(device, SQIF_WRITE, chunk, /*length_prefixed=*/true,
                      /*wait_for_status=*/true);
}

Status sqif_manifest(SqifDevice& device) {
  constexpr std::array<std::uint8_t, 1> kPayload{kManifestArgument};
  return sqif_command(device, SQIF_MANIFEST, kPayload, /*length_prefixed=*/false,
                      /*wait_for_status=*/true);
}

}  // namespace velk::sqif
