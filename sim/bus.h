// The virtual USB bus: the devices plugged into it, the virtual clock their timelines run
// on, fault injection and the log of every request. One bus per process, as libusb and
// hidapi are process-wide; tests start each case with sim::reset().
//
// (Sketch of the contract used by the device models; the simulator fills in the rest.)
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "sim/device.h"

namespace sim {

using Nanos = std::chrono::nanoseconds;

class Bus {
 public:
  // Plugs a device in now. It is listed from the next enumeration on, with the identity that
  // its device_descriptor() and config_descriptor() give at this moment.
  void plug(std::shared_ptr<Device> device);
  // Unplugs it now. Handles opened on it fail with LIBUSB_ERROR_NO_DEVICE (HID calls with -1)
  // from now on, also after the device is plugged in again.
  void unplug(Device& device);
  bool plugged(const Device& device) const;

  // Virtual time. Sleeps and transfer timeouts of the library advance it; events scheduled
  // with after() run when it passes their time, in time order.
  Nanos now() const;
  void after(Nanos delay, std::function<void()> event);
  void advance(Nanos duration);
};

Bus& bus();
// Drops every device, event, fault and log record and sets the clock back to zero.
void reset();

}  // namespace sim
