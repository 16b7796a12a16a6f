#include "velk/src/device/dfu/dfu_transfer.h"

#include <algorithm>
#include <chrono>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"
#include "velk/src/device/dfu/dfu_file.h"
#include "velk/src/device/mode.h"

namespace velk::dfu {
namespace {

constexpr usb::Duration kStatusTimeout{1, 0};
constexpr Nanos kManifestLimit = std::chrono::seconds(60);
// A loader that stays busy with one block this long has hung; the host must not wait for ever.
constexpr Nanos kBlockBusyLimit = std::chrono::seconds(60);
// A loader that never ends its image with a short block would be read for ever; no firmware of
// this device family comes near this size.
constexpr std::size_t kMaxUploadSize = 64u << 20;
// The suffix of an uploaded image names no firmware release.
constexpr std::uint16_t kUploadBcdDevice = 0xFFFF;

Nanos to_nanos(usb::Duration d) {
  return std::chrono::seconds(d.seconds) + Nanos(d.nanos);
}

// After a block the loader may still be writing it; it says so with DFUDnbusy and how long it
// needs before it can be asked again.
Status await_block(DfuDevice& device) {
  const Nanos start = monotonic_now();
  Result<DfuStatus> status = get_status(device, kStatusTimeout);
  for (;;) {
    if (!status) return std::unexpected(std::move(status.error()));
    if (status->status != 0)
      return fail(ErrorKind::DeviceError, "failed block download: {:#x}", status->status);
    switch (status->state) {
      case DfuState::DFUDnbusy:
        if (monotonic_now() - start >= kBlockBusyLimit)
          return fail(ErrorKind::Timeout, "DFU block download timed out");
        sleep_for(to_nanos(status->poll_timeout));
        status = get_status(device, kStatusTimeout);
        break;
      case DfuState::DFUDnloadIdle:
        return {};
      default:
        return fail(ErrorKind::DeviceError, "invalid state during download: {}",
                    state_name(status->state));
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
    auto status = get_status(device, kStatusTimeout);
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
        sleep_for(to_nanos(status->poll_timeout));
        break;
      case DfuState::DFUIdle:
      case DfuState::DFUManifestWaitReset:
        return {};
      default:
        return fail(ErrorKind::DeviceError, "invalid state during download: {}",
                    state_name(status->state));
    }
  }
}

Result<std::vector<std::uint8_t>> upload(DfuDevice& device, const Progress& progress) {
  VELK_DEBUG(kDfuLogTarget, "Uploading image");
  const DfuFunctionalDescriptor& dfu = device.descriptor();
  if (!dfu.can_upload) return fail(ErrorKind::DeviceError, "upload operation not supported");
  // Every read of 0 bytes would come back full, so the end of the image would never show.
  if (dfu.transfer_size == 0) return fail(ErrorKind::InternalError, "DFU transfer size is 0");

  std::vector<std::uint8_t> buffer(dfu.transfer_size);
  std::vector<std::uint8_t> image;
  for (std::uint16_t block = 0;; ++block) {
    VELK_TRY_ASSIGN(received, upload_block(device, block, buffer));
    image.insert(image.end(), buffer.begin(),
                 buffer.begin() + static_cast<std::ptrdiff_t>(received));
    progress(image.size(), image.size());
    if (received < buffer.size()) break;
    if (image.size() >= kMaxUploadSize)
      return fail(ErrorKind::DeviceError, "upload exceeds {:#x} bytes", kMaxUploadSize);
  }
  append_dfu_suffix(image, device.device().idVendor, device.device().idProduct, kUploadBcdDevice);
  return image;
}

}  // namespace velk::dfu
