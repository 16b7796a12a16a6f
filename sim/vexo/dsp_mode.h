// The DSP loader, driven through feature reports: report 1 carries a command to the loader and
// its status back. For now it reports ready and obeys the restart; the flash commands come with
// the loader's DSP flash.
#pragma once

#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class DspMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kCommandReport = 0x01;
  static constexpr std::size_t kCommandReportSize = 18;
  static constexpr std::uint8_t kCommandMarker = 0xAA;
  static constexpr std::uint32_t kReset = 6;
  static constexpr std::uint32_t kReady = 9;

  explicit DspMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == 0; }
  std::vector<std::u16string> strings() const override;
  bool hid() const override { return true; }
  HidInfo hid_info() const override;
  int hid_send_feature(std::span<const std::uint8_t> report) override;
  int hid_get_feature(std::span<std::uint8_t> report) override;

 private:
  std::uint32_t status_ = kReady;
};

}  // namespace sim::vexo
