#include "velk/src/device/dfu/dfu_transfer.h"

#include <algorithm>
#include <chrono>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"
#include "velk/src/device/dfu/dfu_file.h"
#include "velk/src/device/mode.h"

namespace velk::dfu {
namespace {

constexpr Nanos kManifestLimit = std::chrono::seconds(60);
// A loader that stays busy with one block this long has hung; the host must not wait for ever.
constexpr Nanos kBlockBusyLimit = std::chrono::seconds(60);
// A loader that never ends its image with a short block would be read for ever; no firmware of
// this device family comes near this size.
constexpr std::size_t kMaxUploadSize = 64u << 20;
// The suffix of an uploaded image names no firmware release.
constexpr std::uint16_t kUploadBcdDevice = 0xFFFF;
// Blocks are read straight into pieces of this size.
constexpr std::size_t kUploadPiece = 1u << 20;

// Whether the bwPollTimeout the loader asks for ends within the wait's limit. The field allows
// 4.6 hours; a loader that asks past the limit has hung, and asking it earlier is not allowed.
bool pause_fits(std::chrono::milliseconds asked, Nanos start, Nanos limit) {
  return monotonic_now() - start + asked <= limit;
}

// After a block the loader may still be writing it; it says so with DFUDnbusy and how long it
// needs before it can be asked again.
Status await_block(DfuDevice& device) {
  const Nanos start = monotonic_now();
  Result<DfuStatus> status = get_status(device, kDfuRequestTimeout);
  for (;;) {
    if (!status) return std::unexpected(std::move(status.error()));
    if (status->status != 0)
      return fail(ErrorKind::DeviceError, "failed block download: {:#x}", status->status);
    switch (status->state) {
      case DfuState::DFUDnbusy:
        if (!pause_fits(status->poll_timeout, start, kBlockBusyLimit))
          return fail(ErrorKind::Timeout, "DFU block download timed out");
        sleep_for(status->poll_timeout);
        status = get_status(device, kDfuRequestTimeout);
        break;
      case DfuState::DFUDnloadIdle:
        return {};
      default:
        return fail(ErrorKind::DeviceError, "invalid state during download: {}",
                    state_name(status->state));
    }
  }
}

// A loader keeps its state across our failures: a transfer cut short leaves it in
// DFUDnloadIdle, where many loaders take any data block as the next one whatever its number, or
// in DFUUploadIdle, where an upload goes on from where it stopped. So before its first block a
// transfer brings the loader back to DFUIdle, unless nothing can have moved it since it was
// seen there.
Status return_to_idle(DfuDevice& device) {
  if (device.known_idle()) return {};
  const Nanos start = monotonic_now();
  for (;;) {
    VELK_TRY_ASSIGN(status, get_status(device, kDfuRequestTimeout));
    switch (status.state) {
      case DfuState::DFUIdle:
        return {};
      case DfuState::DFUError:
        // get_status has cleared an error the loader reported; this one it did not report.
        if (status.status == 0) return dfu_clear_status(device);
        return {};
      case DfuState::DFUDnbusy:  // still writing a block of the transfer cut short
        if (!pause_fits(status.poll_timeout, start, kBlockBusyLimit))
          return fail(ErrorKind::Timeout, "DFU block download timed out");
        sleep_for(status.poll_timeout);
        break;
      case DfuState::DFUDnloadIdle:
      case DfuState::DFUUploadIdle:
        VELK_DEBUG(kDfuLogTarget, "Aborting the transfer left in {}", state_name(status.state));
        return dfu_abort(device);
      default:
        return fail(ErrorKind::DeviceError, "invalid state before transfer: {}",
                    state_name(status.state));
    }
  }
}

bool is_timeout(const Error& error) {
  return error.kind() == ErrorKind::LIBUSBError && error.usb() == UsbError::Timeout;
}

}  // namespace

Status download(DfuDevice& device, std::span<const std::uint8_t> file, const Progress& progress) {
  VELK_DEBUG(kDfuLogTarget, "Downloading image");
  const DfuFunctionalDescriptor& dfu = device.descriptor();
  if (!dfu.can_download) return fail(ErrorKind::DeviceError, "download operation not supported");
  VELK_TRY(check_dfu_file(file, device.device().idVendor, device.device().idProduct));

  const auto image = file.first(file.size() - kDfuSuffixLength);
  const std::uint64_t total = image.size();
  progress(0, total);
  VELK_DEBUG(kDfuLogTarget, "Downloading image blocks");
  if (dfu.transfer_size == 0) return fail(ErrorKind::InternalError, "DFU transfer size is 0");
  VELK_TRY(return_to_idle(device));
  device.set_known_idle(false);
  if (image.empty()) return manifest(device, 1);

  // Block numbers go out as their low 16 bits, so the counter wraps with them.
  std::uint16_t block = 0;
  for (std::size_t offset = 0; offset < image.size(); ++block) {
    const auto chunk =
        image.subspan(offset, std::min<std::size_t>(dfu.transfer_size, image.size() - offset));
    VELK_TRY_ASSIGN(sent, download_block(device, block, chunk));
    if (sent != chunk.size()) {
      return fail(ErrorKind::DeviceError, "partial FW chunk write: {:#x} < {:#x}", sent,
                  chunk.size());
    }
    offset += chunk.size();
    progress(offset, total);
    VELK_TRY(await_block(device));
  }
  return manifest(device, block);
}

Status manifest(DfuDevice& device, std::uint16_t block) {
  VELK_DEBUG(kDfuLogTarget, "Entering manifestation phase");
  VELK_TRY(download_block(device, block, {}));
  VELK_DEBUG(kDfuLogTarget, "Device entered manifestation stage, polling");
  const Nanos start = monotonic_now();
  for (;;) {
    if (monotonic_now() - start >= kManifestLimit)
      return fail(ErrorKind::Timeout, "DFU manifest stage timed out");
    auto status = get_status(device, kDfuRequestTimeout);
    if (!status) {
      // A loader busy writing flash may not answer at all; only the time limit ends that.
      if (!is_timeout(status.error())) return std::unexpected(std::move(status.error()));
      VELK_DEBUG(kDfuLogTarget, "Manifestation still in progress");
      continue;
    }
    if (status->status != 0)
      return fail(ErrorKind::DeviceError, "manifestation failed: {:#x}", status->status);
    switch (status->state) {
      case DfuState::DFUManifestSync:
      case DfuState::DFUManifest:
        if (!pause_fits(status->poll_timeout, start, kManifestLimit))
          return fail(ErrorKind::Timeout, "DFU manifest stage timed out");
        sleep_for(status->poll_timeout);
        break;
      case DfuState::DFUIdle:
      case DfuState::DFUManifestWaitReset:
        device.set_known_idle(status->state == DfuState::DFUIdle);
        return {};
      default:
        return fail(ErrorKind::DeviceError, "invalid state during download: {}",
                    state_name(status->state));
    }
  }
}

Result<FilePieces> upload(DfuDevice& device, const Progress& progress) {
  VELK_DEBUG(kDfuLogTarget, "Uploading image");
  const DfuFunctionalDescriptor& dfu = device.descriptor();
  if (!dfu.can_upload) return fail(ErrorKind::DeviceError, "upload operation not supported");
  // Every read of 0 bytes would come back full, so the end of the image would never show.
  if (dfu.transfer_size == 0) return fail(ErrorKind::InternalError, "DFU transfer size is 0");
  VELK_TRY(return_to_idle(device));
  device.set_known_idle(false);

  // A piece always has room for one more block and the suffix, so neither ever moves it.
  const std::size_t room = dfu.transfer_size + kDfuSuffixLength;
  FilePieces pieces;
  std::uint32_t crc = kDfuCrcPreset;  // over the pieces before the last
  std::size_t total = 0;
  for (std::uint16_t block = 0;; ++block) {
    if (pieces.empty() || pieces.back().capacity() - pieces.back().size() < room) {
      if (!pieces.empty()) crc = dfu_crc(pieces.back(), crc);
      pieces.emplace_back().reserve(std::max(kUploadPiece, room));
    }
    std::vector<std::uint8_t>& piece = pieces.back();
    const std::size_t at = piece.size();
    piece.resize(at + dfu.transfer_size);
    VELK_TRY_ASSIGN(received, upload_block(device, block, std::span(piece).subspan(at)));
    piece.resize(at + received);
    total += received;
    progress(total, total);
    if (received < dfu.transfer_size) break;
    if (total >= kMaxUploadSize)
      return fail(ErrorKind::DeviceError, "upload exceeds {:#x} bytes", kMaxUploadSize);
  }
  device.set_known_idle(true);  // a short block ends the upload in DFUIdle
  append_dfu_suffix(pieces.back(), device.device().idVendor, device.device().idProduct,
                    kUploadBcdDevice, crc);
  return pieces;
}

}  // namespace velk::dfu
