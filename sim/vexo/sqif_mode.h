// The serial-flash loader in the chip's ROM: commands in HID output report 1, statuses in
// input report 2. For now it answers the ping and the restart; the flash commands fail until
// the loader's flash is modelled.
#pragma once

#include <deque>

#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class SqifMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kCommandReport = 0x01;
  static constexpr std::uint8_t kStatusReport = 0x02;
  static constexpr std::size_t kMaxReport = 1023;
  static constexpr std::uint8_t kPing = 0;
  static constexpr std::uint8_t kReset = 1;
  static constexpr std::uint8_t kDone = 0;
  static constexpr std::uint8_t kFailed = 2;

  explicit SqifMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == 0; }
  bool hid() const override { return true; }
  int hid_write(std::span<const std::uint8_t> report) override;
  std::optional<Bytes> hid_read() override;

 private:
  void status(std::uint8_t command, std::uint8_t value);
  std::deque<Bytes> statuses_;
};

}  // namespace sim::vexo
