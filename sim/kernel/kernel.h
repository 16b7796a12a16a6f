// The virtual bus at the kernel interface: every device plugged into sim::bus() shows in a
// umockdev testbed as a Linux kernel shows a USB device (sysfs devices for the device, its
// interfaces and, for a HID function, the hid and hidraw devices; a usbfs node and a hidraw
// node), and leaves it again with remove uevents when it is unplugged. Programs that run under
// umockdev's preload with the testbed's UMOCKDEV_DIR, with the real libusb and hidapi, find the
// devices and talk to the models through the nodes' handlers.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/kernel/hidraw.h"
#include "sim/kernel/usbfs.h"

namespace sim::kernel {

enum class NodeKind : std::uint8_t { Usbfs, Hidraw };

class KernelInterface {
 public:
  // Adds the root hub of bus 1; the devices follow with the first tick().
  explicit KernelInterface(UMockdevTestbed* testbed);
  ~KernelInterface();
  KernelInterface(const KernelInterface&) = delete;
  KernelInterface& operator=(const KernelInterface&) = delete;

  // Nodes of this kind that join from now on may not be opened by the user (mode 0).
  void deny(NodeKind kind) { denied_.push_back(kind); }

  // Under the bus's lock: the devices that joined or left the bus since the last tick join or
  // leave the testbed, kernel-driver bindings show in sysfs, and every node ticks.
  void tick();
  // Whether a program still holds a node open.
  bool in_use() const;

 private:
  struct Mirror {
    std::uint64_t attachment = 0;
    int port = 0;
    std::string name;                       // "1-<port>"
    std::string usb_path;                   // the usb_device in sysfs
    std::vector<std::string> children;      // interfaces, hid and hidraw devices, parents first
    std::map<int, std::string> interfaces;  // interface number to its sysfs path
    std::map<int, std::string> drivers;     // as sysfs shows them
    std::unique_ptr<UsbfsNode> usbfs;
    std::unique_ptr<HidrawNode> hidraw;
  };

  void add(const Attachment& a);
  void remove(Mirror& m);
  void show_drivers(Mirror& m);
  void attach(Node& node);
  void detach(Node& node);
  std::string sys(const std::string& path) const;

  UMockdevTestbed* testbed_;
  std::string root_;
  std::unique_ptr<Node> hub_;
  std::vector<Mirror> devices_;
  // Nodes of devices that left: a program may still hold them open and gets ENODEV.
  std::vector<std::unique_ptr<Node>> departed_;
  std::vector<NodeKind> denied_;
  int next_devnum_ = 2;  // 1 is the root hub's
  int next_hid_ = 1;
  int next_hidraw_ = 0;
};

}  // namespace sim::kernel
