// The Bluetooth-module firmware: HCI on interface 0 (commands on the control pipe, events on an
// interrupt endpoint) answering BCCMD on extension channel 2, and the run-time DFU interface 1
// through which the host asks the chip to detach into its DFU boot loader.
#pragma once

#include <chrono>
#include <deque>
#include <optional>

#include "sim/vexo/hci_frames.h"
#include "sim/vexo/mode_model.h"

namespace sim::vexo {

class BtmMode final : public ModeModel {
 public:
  static constexpr std::uint8_t kHciInterface = 0;
  static constexpr std::uint8_t kDfuInterface = 1;
  static constexpr std::uint8_t kEventEndpoint = 0x81;
  static constexpr std::uint8_t kAclInEndpoint = 0x82;
  static constexpr std::uint8_t kAclOutEndpoint = 0x02;

  explicit BtmMode(Vexo& chip);

  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  bool has_interface(int number) const override;
  std::vector<std::u16string> strings() const override;
  int control_in(const ControlSetup& setup, std::span<std::uint8_t> data) override;
  int control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) override;
  std::optional<Bytes> interrupt_in(std::uint8_t endpoint) override;
  int usb_reset() override;

  // Queues an event as if the firmware had sent it.
  void push_event(Bytes event) { events_.push_back(std::move(event)); }
  std::size_t pending_events() const { return events_.size(); }
  // Between a DFU_DETACH without bitWillDetach and the end of its detach timeout.
  bool detach_pending() const;

 private:
  void hci_command(std::span<const std::uint8_t> packet);
  void bccmd(const hci::BccmdMessage& request);
  void ps(const hci::BccmdMessage& request);
  void answer(const hci::BccmdMessage& request, std::uint16_t status, Bytes payload);
  int dfu_detach(const ControlSetup& setup);

  std::deque<Bytes> events_;
  // Virtual time until which a USB reset completes a detach into DFU mode.
  std::optional<std::chrono::nanoseconds> detach_deadline_;
};

}  // namespace sim::vexo
