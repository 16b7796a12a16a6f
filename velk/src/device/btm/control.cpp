#include "velk/src/device/btm/control.h"

#include <array>

#include "velk/src/c/log.h"
#include "velk/src/device/btm/bccmd.h"
#include "velk/src/device/btm/hci.h"
#include "velk/src/device/btm/pskey.h"
#include "velk/src/device/dfu/dfu_requests.h"

namespace velk::btm {

Result<BtmDevice> connect_btm(usb::UsbDevice device) {
  HciInterface hci{};
  {
    VELK_TRY_ASSIGN(config, device.config_descriptor(0));
    VELK_TRY_ASSIGN(found, find_hci_interface(config));
    hci = found;
  }  // released before the DFU walk reads its own copy
  VELK_TRY_ASSIGN(dfu, dfu::parse_dfu_descriptor(device));
  VELK_TRY_ASSIGN(handle, device.open());
  // A failed claim drops the handle, which releases what was claimed and closes it.
  VELK_TRY(handle.claim_interface(hci.interface_number));
  VELK_TRY(handle.claim_interface(dfu.interface_number));

  BtmDevice btm(std::move(handle), dfu, hci.interface_number, hci.event_endpoint());
  VELK_TRY(flush_events(btm));
  if (!btm_is_operational(btm)) return fail(ErrorKind::DeviceError, "firmware not operational");
  VELK_DEBUG(kBtmLogTarget, "Connected to the device in BTM mode");
  return btm;
}

bool btm_is_operational(BtmDevice& device) {
  std::array<std::uint16_t, 1> mode{};
  // A longer value does not fit and fails the read: that too means other firmware.
  auto words = read_pskey(device, kModePSKey, mode);
  return words && *words == 1 && (mode[0] == kModeBtm || mode[0] == kModeBtmAlt);
}

Status detach_to_dfu(BtmDevice& device) {
  VELK_DEBUG(kBtmLogTarget, "Issuing a DFU_DETACH request");
  VELK_TRY(device.handle().write_control(
      /*request_type=*/dfu::kDfuRequestOut, /*request=*/dfu::DFU_DETACH,
      /*value=*/device.dfu().detach_timeout,
      /*index=*/device.dfu().interface_number, /*data=*/{}, dfu::kDfuDetachTimeout));
  if (!device.dfu().will_detach) {
    VELK_DEBUG(kBtmLogTarget, "Resetting the USB handle");
    // The device may drop off the bus mid-reset; re-enumeration judges the outcome.
    (void)device.handle().reset();
  }
  return {};
}

Status cold_reset(BtmDevice& device) {
  HciBuffer packet;
  VELK_TRY_ASSIGN(length,
                  build_bccmd(device.sequence(), BccmdType::SetReq, kVarColdReset, {}, packet));
  // The chip restarts instead of answering, and the transfer itself may fail as it goes.
  (void)send_hci_command(device, std::span<const std::uint8_t>(packet.data(), length));
  return {};
}

void select_mode(BtmDevice& device, OperationMode mode) {
  std::uint16_t value = 0;
  switch (mode) {
    case OperationMode::SQIF:
      VELK_DEBUG(kBtmLogTarget, "Switching to SQIF");
      value = kModeSqif;
      break;
    case OperationMode::DSP:
      VELK_DEBUG(kBtmLogTarget, "Switching to DSP");
      value = kModeDsp;
      break;
    default:
      throw InternalFailure("select_mode: only SQIF and DSP are selected through the mode key");
  }
  // The device may restart before its answer is read; the mode it comes back in tells.
  (void)write_pskey(device, kModePSKey, std::span<const std::uint16_t>(&value, 1));
}

}  // namespace velk::btm
