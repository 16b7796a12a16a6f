// The serial-flash loader in the chip's ROM: commands in HID output report 1 (01 code, for a
// write a big-endian length, then the payload), statuses in input report 2 (02 code status).
//
// The loader erases partition 0 (the whole 8 MiB flash, to 0xFF), answering busy while the
// erase runs; then takes writes appended in order from offset 0; then a manifest. A write
// before an erase, or one that would run past the end of the flash, answers status 2. The
// flash lives in the chip (Vexo::sqif_flash()) and stays empty until the first erase.
#pragma once

#include <chrono>
#include <deque>
#include <optional>

#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class SqifMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kCommandReport = 0x01;
  static constexpr std::uint8_t kStatusReport = 0x02;
  static constexpr std::size_t kMaxReport = 1023;
  static constexpr std::uint8_t kPing = 0;
  static constexpr std::uint8_t kReset = 1;
  static constexpr std::uint8_t kErase = 2;
  static constexpr std::uint8_t kWrite = 3;
  static constexpr std::uint8_t kManifest = 5;
  static constexpr std::uint8_t kDone = 0;
  static constexpr std::uint8_t kBusy = 1;
  static constexpr std::uint8_t kFailed = 2;

  static constexpr std::size_t kFlashSize = std::size_t{8} << 20;
  static constexpr std::uint8_t kErased = 0xFF;
  static constexpr std::chrono::nanoseconds kEraseTime = std::chrono::milliseconds(100);

  explicit SqifMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == 0; }
  bool hid() const override { return true; }
  Bytes report_descriptor() const override;
  int hid_write(std::span<const std::uint8_t> report) override;
  std::optional<Bytes> hid_read() override;

 private:
  struct Pending {
    std::chrono::nanoseconds ready;
    Bytes report;
  };

  // The status of one command, as it works on the flash.
  std::uint8_t erase(std::span<const std::uint8_t> payload);
  std::uint8_t write(std::span<const std::uint8_t> body);
  std::uint8_t manifest(std::span<const std::uint8_t> payload);
  // Queues the answer to a command, shaped by the armed faults.
  void answer(std::uint8_t command, std::uint8_t status);

  std::deque<Pending> statuses_;
  // While an erase runs: when it ends.
  std::optional<std::chrono::nanoseconds> erase_ends_;
  bool erased_ = false;
  // Image bytes taken since the erase, and whether the image was manifested.
  std::size_t written_ = 0;
  bool manifested_ = false;
};

}  // namespace sim::vexo
