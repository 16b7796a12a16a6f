// The DSP loader, driven through feature reports: report 1 carries a command to the loader and
// its status back, report 2 carries 2048 bytes of sector data either way, every 16-bit word's
// bytes swapped. The flash is the chip's dsp_flash(), kept across restarts.
//
// A write replaces the bytes of the range (the loader erases and programs it), because the host
// rewrites whole sectors it has read without erasing them first. Erasing and programming take
// virtual time, during which the status reads busy as 0x10009. A command or data report that
// arrives out of turn (while busy, data without a transfer under way) is refused with -1, so a
// host that breaks the protocol sees it at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class DspMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kCommandReport = 0x01;
  static constexpr std::size_t kCommandReportSize = 18;
  static constexpr std::uint8_t kCommandMarker = 0xAA;
  static constexpr std::uint8_t kDataReport = 0x02;
  static constexpr std::size_t kDataReportSize = 2050;
  static constexpr std::size_t kDataChunk = 2048;

  static constexpr std::uint32_t kErase = 1;
  static constexpr std::uint32_t kRead = 2;
  static constexpr std::uint32_t kWrite = 3;
  static constexpr std::uint32_t kReset = 6;
  static constexpr std::uint32_t kWriteCheck = 11;

  static constexpr std::uint32_t kReady = 9;
  static constexpr std::uint32_t kCrcError = 10;
  static constexpr std::uint32_t kBusy = 0x10009;

  static constexpr std::chrono::nanoseconds kErasePerKiB = std::chrono::milliseconds(1);
  static constexpr std::chrono::nanoseconds kProgramPerKiB = std::chrono::microseconds(250);

  explicit DspMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == 0; }
  std::vector<std::u16string> strings() const override;
  bool hid() const override { return true; }
  HidInfo hid_info() const override;
  Bytes report_descriptor() const override;
  int hid_send_feature(std::span<const std::uint8_t> report) override;
  int hid_get_feature(std::span<std::uint8_t> report) override;

 private:
  // A sector transfer announced by DSP_READ or DSP_WRITE, until its last data report (read) or
  // its DSP_WRITE_CHECK (write).
  struct Transfer {
    std::uint32_t command;
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t crc;
    std::size_t moved = 0;  // bytes handed out or received so far
    Bytes received;         // in the order they travelled
  };

  int command(std::uint32_t code, std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3);
  int receive_data(std::span<const std::uint8_t> report);
  int send_data(std::span<std::uint8_t> report);
  int send_status(std::span<std::uint8_t> report);
  void write_check(std::uint32_t address, std::uint32_t count, std::uint32_t crc);
  bool busy() const;
  void busy_for(std::chrono::nanoseconds duration);
  // Whether an armed data-report fault may fire on this report, or the report passes first.
  bool data_fault_due(bool armed);

  std::uint32_t status_ = kReady;  // once no longer busy
  std::chrono::nanoseconds busy_until_{0};
  std::optional<Transfer> transfer_;
};

}  // namespace sim::vexo
