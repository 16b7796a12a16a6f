// The USB DFU boot loader. For now it only shows its identity, reports its status and leaves on
// a USB reset; the download and upload engine comes with the loader's firmware transfer.
#pragma once

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

  explicit DfuMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override { return number == kDfuInterface; }
  std::vector<std::u16string> strings() const override;
  int control_in(const ControlSetup& setup, std::span<std::uint8_t> data) override;
  int control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) override;
  int usb_reset() override;

  State state() const { return state_; }

 private:
  std::uint8_t status_ = 0;
  State state_ = kDfuIdle;
};

}  // namespace sim::vexo
