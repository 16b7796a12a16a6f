#include "sim/vexo/dfu_mode.h"

#include <algorithm>

#include "sim/bus.h"
#include "sim/vexo/descriptors.h"
#include "sim/vexo/dfu_requests.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {
namespace {

using namespace dfu_request;
constexpr std::size_t kStatusLength = 6;

std::chrono::nanoseconds millis(std::uint32_t ms) {
  return std::chrono::milliseconds(ms);
}

}  // namespace

DfuMode::DfuMode(Vexo& chip) : ModeModel(chip) {}

libusb_device_descriptor DfuMode::device_descriptor() const {
  const auto& options = chip_.options();
  return identity(kMakerVendor, options.dfu_product, options.bcd_device, /*with_strings*/ true);
}

Bytes DfuMode::config_descriptor() const {
  return build_config({.interfaces = {{.number = kDfuInterface,
                                       .cls = /*application specific*/ 0xFE,
                                       .subclass = /*DFU*/ 0x01,
                                       .protocol = /*DFU mode*/ 0x02,
                                       .extra = dfu_functional(chip_.options().loader_dfu)}}});
}

std::vector<std::u16string> DfuMode::strings() const {
  return maker_strings(u"Vexo DFU");
}

std::uint16_t DfuMode::transfer_size() const {
  return chip_.options().loader_dfu.transfer_size;
}

int DfuMode::control_in(const ControlSetup& setup, std::span<std::uint8_t> data) {
  finish_manifestation_when_due();
  if (setup.request_type != kInRequestType || setup.index != kDfuInterface) {
    return LIBUSB_ERROR_PIPE;
  }
  switch (setup.request) {
    case kGetStatus:
      return get_status(data);
    case kGetState:
      if (state_ == kDfuDnbusy && bus().now() < busy_until_) return reject();
      if (data.empty()) return 0;
      data[0] = state_;
      return 1;
    case kUpload:
      return upload(data);
    default:
      return reject();
  }
}

int DfuMode::control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) {
  finish_manifestation_when_due();
  if (setup.request_type != kOutRequestType || setup.index != kDfuInterface) {
    return LIBUSB_ERROR_PIPE;
  }
  switch (setup.request) {
    case kDnload:
      return download(data);
    case kClrStatus:
      if (state_ != kDfuError || !data.empty()) return reject();
      status_ = kStatusOk;
      state_ = kDfuIdle;
      return 0;
    case kAbort:
      // Only the idle states take it; a loader busy with a block or its manifestation stalls.
      if (!data.empty()) return reject();
      switch (state_) {
        case kDfuIdle:
        case kDfuDnloadIdle:
        case kDfuUploadIdle:
          staged_.clear();
          state_ = kDfuIdle;
          return 0;
        default:
          return reject();
      }
    default:
      return reject();
  }
}

int DfuMode::get_status(std::span<std::uint8_t> data) {
  auto& faults = chip_.faults().dfu;
  const auto now = bus().now();
  std::uint32_t poll_ms = 0;
  switch (state_) {
    case kDfuDnbusy:
      // The host was told how long the block takes; asking earlier is not allowed.
      if (now < busy_until_) return reject();
      [[fallthrough]];
    case kDfuDnloadSync: {
      if (busy_left_ > 0) {
        --busy_left_;
        state_ = kDfuDnbusy;
        poll_ms = faults.busy_poll_timeout_ms;
        busy_until_ = now + millis(poll_ms);
        break;
      }
      const unsigned block = blocks_ - 1;
      state_ = kDfuDnloadIdle;
      if (faults.error_at_block == block) {
        status_ = faults.error_status;
        state_ = kDfuError;
      } else if (faults.wrong_state_at_block == block) {
        state_ = static_cast<State>(faults.wrong_state);
      }
      break;
    }
    case kDfuManifestSync:
    case kDfuManifest:
      if (VexoFaults::take(faults.manifest_status_timeouts)) return LIBUSB_ERROR_TIMEOUT;
      if (manifesting_) {
        state_ = kDfuManifest;
        poll_ms = faults.manifest_poll_timeout_ms;
      } else {
        state_ = tolerant() ? kDfuIdle : kDfuManifestWaitReset;
      }
      break;
    default:
      break;
  }

  Bytes answer{status_,
               static_cast<std::uint8_t>(poll_ms),
               static_cast<std::uint8_t>(poll_ms >> 8),
               static_cast<std::uint8_t>(poll_ms >> 16),
               state_,
               /*iString*/ 0};
  if (VexoFaults::take(faults.invalid_state)) answer[4] = faults.invalid_state_value;
  std::size_t length = kStatusLength;
  if (VexoFaults::take(faults.short_status)) length = std::min(length, faults.short_status_length);
  const auto n = std::min(length, data.size());
  std::copy_n(answer.begin(), n, data.begin());
  return static_cast<int>(n);
}

int DfuMode::download(std::span<const std::uint8_t> data) {
  const bool can_download = (chip_.options().loader_dfu.attributes & kCanDnload) != 0;
  if (!can_download) return reject();
  // Like many loaders, this one does not check block numbers once a download is under way: in
  // DFUDnloadIdle any data block is taken as the next one, and an empty one ends the download.
  if (data.empty()) {
    if (state_ != kDfuDnloadIdle) return reject();
    state_ = kDfuManifestSync;
    manifesting_ = true;
    manifest_done_ = bus().now() + chip_.faults().dfu.manifest_time;
    finish_manifestation_when_due();
    return 0;
  }
  if (data.size() > transfer_size()) return reject();
  // DFU 1.1 only has the block numbers count up and wrap, so a download may start at any.
  if (state_ == kDfuIdle) {
    staged_.clear();
    blocks_ = 0;
    // The loader writes over the firmware from here on: until an image is manifested, the
    // chip has no firmware to start and comes back as its loader.
    chip_.firmware_valid() = false;
  } else if (state_ != kDfuDnloadIdle) {
    return reject();
  }
  if (chip_.faults().dfu.stall_at_block == blocks_) return reject();
  staged_.insert(staged_.end(), data.begin(), data.end());
  ++blocks_;
  busy_left_ = chip_.faults().dfu.busy_polls;
  state_ = kDfuDnloadSync;
  return static_cast<int>(data.size());
}

int DfuMode::upload(std::span<std::uint8_t> data) {
  const bool can_upload = (chip_.options().loader_dfu.attributes & kCanUpload) != 0;
  if (!can_upload || data.size() > transfer_size()) return reject();
  if (state_ == kDfuIdle) {
    upload_offset_ = 0;
  } else if (state_ != kDfuUploadIdle) {
    return reject();
  }
  const Bytes& firmware = chip_.btm_firmware();
  const std::size_t n = std::min(data.size(), firmware.size() - upload_offset_);
  std::copy_n(firmware.begin() + static_cast<std::ptrdiff_t>(upload_offset_), n, data.begin());
  upload_offset_ += n;
  // A short block tells the host that the image has ended.
  state_ = n < data.size() ? kDfuIdle : kDfuUploadIdle;
  return static_cast<int>(n);
}

int DfuMode::reject() {
  // A loader writing its image is busy: it stalls what it cannot serve and goes on writing, as
  // DFU 1.1 has no way out of DFUManifest on a request.
  if (manifesting_) return LIBUSB_ERROR_PIPE;
  status_ = kErrStalledPacket;
  state_ = kDfuError;
  return LIBUSB_ERROR_PIPE;
}

bool DfuMode::tolerant() const {
  return (chip_.options().loader_dfu.attributes & kManifestationTolerant) != 0;
}

void DfuMode::finish_manifestation_when_due() {
  if (!manifesting_ || chip_.faults().dfu.manifest_never_ends || bus().now() < manifest_done_) {
    return;
  }
  manifesting_ = false;
  chip_.btm_firmware() = std::move(staged_);
  chip_.firmware_valid() = true;
  staged_.clear();
  // The loader leaves DFUManifest on its own; a tolerant one waits for the status request that
  // brings it back to DFUIdle.
  if (state_ == kDfuManifest) state_ = tolerant() ? kDfuManifestSync : kDfuManifestWaitReset;
}

void DfuMode::stopping() {
  finish_manifestation_when_due();
}

int DfuMode::usb_reset() {
  // A reset ends the boot loader: the chip restarts into its firmware under another identity.
  chip_.restart(std::nullopt, chip_.timings().command_restart);
  return LIBUSB_ERROR_NOT_FOUND;
}

Bytes sample_firmware(std::size_t size) {
  Bytes image(size);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
  }
  return image;
}

}  // namespace sim::vexo
