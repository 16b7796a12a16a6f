#include "sim/vexo/dfu_mode.h"

#include <algorithm>

#include "sim/vexo/descriptors.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {
namespace {

constexpr std::uint8_t kOutRequestType = 0x21;  // Out, class, interface
constexpr std::uint8_t kInRequestType = 0xA1;   // In, class, interface
constexpr std::uint8_t kGetStatus = 3;
constexpr std::uint8_t kClrStatus = 4;
constexpr std::uint8_t kGetState = 5;
constexpr std::uint8_t kAbort = 6;

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

int DfuMode::control_in(const ControlSetup& setup, std::span<std::uint8_t> data) {
  if (setup.request_type != kInRequestType || setup.index != kDfuInterface) {
    return LIBUSB_ERROR_PIPE;
  }
  Bytes answer;
  if (setup.request == kGetStatus) {
    answer = {status_, /*bwPollTimeout*/ 0, 0, 0, state_, /*iString*/ 0};
  } else if (setup.request == kGetState) {
    answer = {state_};
  } else {
    return LIBUSB_ERROR_PIPE;
  }
  const auto n = std::min(answer.size(), data.size());
  std::copy_n(answer.begin(), n, data.begin());
  return static_cast<int>(n);
}

int DfuMode::control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) {
  if (setup.request_type != kOutRequestType || setup.index != kDfuInterface || !data.empty()) {
    return LIBUSB_ERROR_PIPE;
  }
  if (setup.request == kClrStatus || setup.request == kAbort) {
    status_ = 0;
    state_ = kDfuIdle;
    return 0;
  }
  return LIBUSB_ERROR_PIPE;
}

int DfuMode::usb_reset() {
  // A reset ends the boot loader: the chip restarts into its firmware under another identity.
  chip_.restart(std::nullopt, chip_.timings().command_restart);
  return LIBUSB_ERROR_NOT_FOUND;
}

}  // namespace sim::vexo
