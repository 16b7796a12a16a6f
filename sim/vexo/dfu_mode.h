// The USB DFU 1.1 boot loader. It takes a new Bluetooth-module image block by block into a
// staging buffer, writes it to the chip's firmware memory during manifestation, reads the
// firmware back in upload blocks, and leaves on a USB reset. Its timeline and its faults are in
// dfu_faults.h (VexoFaults::dfu).
//
// The state machine is the one of DFU 1.1: a request the current state does not allow stalls and
// puts the loader into DFUError with errSTALLEDPKT until DFU_CLRSTATUS. In particular a status
// request while the loader is busy with a block, before its bwPollTimeout has passed, stalls, and
// a zero-length DFU_DNLOAD with no image received stalls too. DFU_ABORT is taken only in
// DFUIdle, DFUDnloadIdle and DFUUploadIdle. The state lasts until the chip restarts: a host that
// gave up in the middle of a transfer finds the loader where it left it. Manifestation runs on
// the loader's own clock: the image is written once its time has passed, whatever the host asks
// meanwhile (a request the busy loader cannot serve stalls without ending the write), and at the
// latest when the chip restarts after that.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class DfuMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kDfuInterface = 0;

  enum State : std::uint8_t {
    kAppIdle = 0,
    kAppDetach = 1,
    kDfuIdle = 2,
    kDfuDnloadSync = 3,
    kDfuDnbusy = 4,
    kDfuDnloadIdle = 5,
    kDfuManifestSync = 6,
    kDfuManifest = 7,
    kDfuManifestWaitReset = 8,
    kDfuUploadIdle = 9,
    kDfuError = 10,
  };

  // bStatus values the loader reports.
  static constexpr std::uint8_t kStatusOk = 0x00;
  static constexpr std::uint8_t kErrStalledPacket = 0x0F;

  explicit DfuMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == kDfuInterface; }
  std::vector<std::u16string> strings() const override;
  int control_in(const ControlSetup& setup, std::span<std::uint8_t> data) override;
  int control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) override;
  int usb_reset() override;
  void stopping() override;

 private:
  int get_status(std::span<std::uint8_t> data);
  int download(std::span<const std::uint8_t> data);
  int upload(std::span<std::uint8_t> data);
  // A request the state does not allow: the loader stalls it and reports errSTALLEDPKT.
  int reject();
  // Writes the received image once its manifestation time has passed, whether or not the host
  // has asked since: the loader keeps its own time.
  void finish_manifestation_when_due();
  bool tolerant() const;
  std::uint16_t transfer_size() const;

  std::uint8_t status_ = kStatusOk;
  State state_ = kDfuIdle;
  Bytes staged_;
  unsigned blocks_ = 0;     // data blocks of the download under way
  unsigned busy_left_ = 0;  // status requests the current block stays busy for
  std::chrono::nanoseconds busy_until_{0};
  bool manifesting_ = false;  // the image is being written, until manifest_done_
  std::chrono::nanoseconds manifest_done_{0};
  std::size_t upload_offset_ = 0;
};

// The image the "vexo-dfu-firmware" scenario's chip holds: bytes in a fixed pattern, so that an
// upload by another program can be checked against it. "vexo-dfu-firmware-1m" holds 1 MiB of it.
inline constexpr std::size_t kSampleFirmwareSize = 3000;
Bytes sample_firmware(std::size_t size = kSampleFirmwareSize);

}  // namespace sim::vexo
