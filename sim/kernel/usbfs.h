// The usbfs node of one device (/dev/bus/usb/BBB/DDD): the ioctls of libusb's Linux back end,
// answered by the model with the kernel's semantics. Each open file claims interfaces of its
// own, and a kernel driver bound to an interface keeps it from being claimed until it is
// detached; URBs are submitted, completed by the device and reaped per open file; once the
// device has left the bus, URBs in flight end with -ESHUTDOWN and every other request with
// ENODEV.
#pragma once

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <bitset>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "sim/kernel/node.h"

namespace sim::kernel {

class UsbfsNode final : public Node {
 public:
  using Node::Node;
  ~UsbfsNode() override;

  void service() override;
  // The driver that holds an interface now: a kernel driver, "usbfs" when a program claimed
  // it, or empty.
  std::string driver(int interface) const;
  bool in_use() const override { return !files_.empty(); }

 private:
  struct Urb {
    Ref<UMockdevIoctlData> data;  // the client's struct usbdevfs_urb, its buffer resolved
    usbdevfs_urb* get() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::uint8_t* buffer() const { return static_cast<std::uint8_t*>(get()->buffer); }
  };
  struct Reap {
    Ref<UMockdevIoctlClient> client;
    Ref<UMockdevIoctlData> pointer;  // where the address of the reaped URB goes
    bool wait;  // REAPURB waits for a URB; REAPURBNDELAY only until the next tick
  };
  // What one open file of the node holds, as the kernel keeps it per file.
  struct File {
    std::bitset<64> claimed;
    std::deque<Urb> in_flight;
    std::deque<Urb> done;
    std::optional<Reap> reap;
  };

  bool on_ioctl(UMockdevIoctlClient* client) override;
  void on_open(UMockdevIoctlClient* client) override;
  void on_close(UMockdevIoctlClient* client) override;
  void on_tick() override;

  // Each returns the ioctl's result, or -errno.
  int claim(File& file, unsigned interface);
  int release(File& file, unsigned interface);
  int disconnect_claim(File& file, UMockdevIoctlData* arg);
  // Takes the interface from the driver that holds it (a kernel driver, or a file's claim).
  void unbind(int interface, const std::string& bound);
  int get_driver(UMockdevIoctlData* arg);
  int driver_ioctl(UMockdevIoctlData* arg);
  int reset();
  int submit(File& file, UMockdevIoctlData* arg);
  int submit_control(File& file, Urb urb);
  int submit_interrupt(File& file, Urb urb);
  int discard(File& file, unsigned long address);
  // Takes the reap and answers it now if a URB is waiting (or the device is gone).
  bool reap(File& file, UMockdevIoctlClient* client, bool wait);
  bool deliver(File& file);
  void poll_interrupt_endpoints(Device& device, File& file);
  void complete(File& file, std::deque<Urb>::iterator urb, int status, int actual_length);

  bool has_interface(int interface) const;
  bool claimed_by_any(int interface) const;
  File* file(UMockdevIoctlClient* client);

  std::map<UMockdevIoctlClient*, File> files_;
  bool gone_ = false;
};

}  // namespace sim::kernel
