// The host's drivers on the interfaces of one plugged-in device, as Linux keeps them: an
// interface is held by a kernel driver (a Bluetooth driver, usbhid), claimed by a program
// through usbfs, or free. The libusb front end, its preloaded extras and the kernel tier's usbfs
// node all ask this one model; each turns its answers into its own return values.
#pragma once

#include <map>
#include <set>
#include <string>

#include "sim/device.h"

namespace sim {

class Bindings {
 public:
  // Whoever claims an interface: a libusb handle, an open usbfs file.
  using Owner = const void*;
  // How usbfs names the driver of an interface a program has claimed.
  static constexpr const char* kUsbfs = "usbfs";

  Bindings() = default;
  // The host's kernel binds its drivers as the device appears.
  Bindings(const Device& model, std::set<int> interfaces);

  bool has(int interface) const { return interfaces_.contains(interface); }
  const std::set<int>& interfaces() const { return interfaces_; }
  // The kernel driver bound to the interface ("" for none); a program's claim is no kernel
  // driver.
  std::string kernel_driver(int interface) const;
  // Whoever holds the interface: the kernel driver, kUsbfs for a claim, or "".
  std::string holder(int interface) const;
  bool claimed_by(int interface, Owner owner) const;

  enum class Claim : std::uint8_t { Taken, HeldByDriver, HeldByOther };
  // Whether `owner` may claim the interface now (Taken: it may, or holds it already).
  Claim claimable(int interface, Owner owner) const;
  void claim(int interface, Owner owner) { claims_[interface] = owner; }
  // False when `owner` did not hold the interface.
  bool release(int interface, Owner owner);
  // Everything the owner claimed goes back (a closed file, a closed handle).
  void release_all(Owner owner);
  // Takes the interface from whoever holds it. False when nobody did.
  bool unbind(int interface);
  // The kernel probes its drivers for a free interface.
  enum class Probe : std::uint8_t { Bound, Busy, NoDriver };
  Probe probe(int interface);
  // After a bus reset: programs lose their claims, and the kernel probes its drivers again for
  // the interfaces nobody holds.
  void reset();

 private:
  const Device* model_ = nullptr;
  std::set<int> interfaces_;
  std::map<int, std::string> drivers_;
  std::map<int, Owner> claims_;
};

}  // namespace sim
