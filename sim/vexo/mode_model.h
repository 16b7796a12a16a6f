// What the chip does while it runs one mode's firmware. Vexo owns exactly one of these at a time
// and replaces it each time the chip boots, so a mode's state (pending events, a detach in
// progress, a loader's progress) never survives a restart.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim::vexo {

class Vexo;

class ModeModel {
 public:
  explicit ModeModel(Vexo& chip) : chip_(chip) {}
  virtual ~ModeModel() = default;
  ModeModel(const ModeModel&) = delete;
  ModeModel& operator=(const ModeModel&) = delete;

  virtual libusb_device_descriptor device_descriptor() const = 0;
  virtual Bytes config_descriptor() const = 0;
  // Interface numbers that exist in this mode's configuration.
  virtual bool has_interface(int number) const = 0;
  // String descriptors 1, 2, ... that the device descriptor refers to.
  virtual std::vector<std::u16string> strings() const { return {}; }

  virtual int control_in(const ControlSetup&, std::span<std::uint8_t>) { return LIBUSB_ERROR_PIPE; }
  virtual int control_out(const ControlSetup&, std::span<const std::uint8_t>) {
    return LIBUSB_ERROR_PIPE;
  }
  virtual std::optional<Bytes> interrupt_in(std::uint8_t) { return std::nullopt; }
  virtual int usb_reset() { return LIBUSB_SUCCESS; }
  // The chip is about to lose power: the last moment for work the mode does on its own clock.
  virtual void stopping() {}

  virtual bool hid() const { return false; }
  virtual HidInfo hid_info() const { return {}; }
  virtual Bytes report_descriptor() const { return {}; }
  virtual int hid_write(std::span<const std::uint8_t>) { return -1; }
  virtual std::optional<Bytes> hid_read() { return std::nullopt; }
  virtual int hid_send_feature(std::span<const std::uint8_t>) { return -1; }
  virtual int hid_get_feature(std::span<std::uint8_t>) { return -1; }

 protected:
  Vexo& chip_;
};

}  // namespace sim::vexo
