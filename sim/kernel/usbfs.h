// The usbfs node of one device (/dev/bus/usb/BBB/DDD): the ioctls of libusb's Linux back end,
// answered by the model with the kernel's semantics. Each open file claims interfaces of its
// own, and a kernel driver bound to an interface keeps it from being claimed until it is
// detached; URBs are submitted, completed by the device and reaped per open file; once the
// device has left the bus, URBs in flight end with -ESHUTDOWN and every other request with
// ENODEV.
#pragma once

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "sim/bindings.h"
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
    std::deque<Urb> in_flight;
    std::deque<Urb> done;
    std::optional<Reap> reap;
    // Where read() goes on in the descriptors. umockdev does not pass lseek() on, so this counts
    // from the open; the hosts read the descriptors once, right after opening the node.
    std::size_t read_position = 0;
  };

  bool on_ioctl(UMockdevIoctlClient* client) override;
  bool on_read(UMockdevIoctlClient* client) override;
  void on_open(UMockdevIoctlClient* client) override;
  void on_close(UMockdevIoctlClient* client) override;
  void on_tick() override;

  // Each returns the ioctl's result, or -errno.
  int claim(File& file, unsigned interface);
  int release(File& file, unsigned interface);
  // The kernel sends SET_INTERFACE to the device and waits for it.
  int set_interface(File& file, unsigned interface, unsigned alternate);
  // The kernel sends CLEAR_FEATURE(ENDPOINT_HALT) to the device and waits for it.
  int clear_halt(File& file, unsigned endpoint);
  int disconnect_claim(File& file, UMockdevIoctlData* arg);
  int get_driver(UMockdevIoctlData* arg);
  int driver_ioctl(UMockdevIoctlData* arg);
  int reset();
  // The device has left: URBs in flight end, and every later request but a reap fails.
  void leave();
  // The kernel's checks of a control request's recipient: the interface it names is claimed.
  int check_recipient(File& file, const ControlSetup& setup);
  // A control request that the kernel makes and waits for (USBDEVFS_CONTROL).
  int control(File& file, UMockdevIoctlData* arg);
  int submit(File& file, UMockdevIoctlData* arg);
  int submit_control(File& file, Urb urb);
  int submit_interrupt(File& file, Urb urb);
  int discard(File& file, unsigned long address);
  // Takes the reap and answers it now if a URB is waiting (or the device is gone).
  bool reap(File& file, UMockdevIoctlClient* client, bool wait);
  bool deliver(File& file);
  void poll_interrupt_endpoints(Device& device, File& file);
  void complete(File& file, std::deque<Urb>::iterator urb, int status, int actual_length);

  // The drivers on the device's interfaces while it is on the bus, else null.
  Bindings* bindings() const;
  bool has_interface(int interface) const;
  // The number of settings of an interface (0: no such interface), and the endpoints of all.
  int alternate_settings(int interface) const;
  std::set<std::uint8_t> endpoints_of(int interface) const;
  // The interface whose settings have the endpoint, or -ENOENT (-EINVAL: not an address).
  int interface_of_endpoint(unsigned endpoint) const;
  // The device's address on the bus, as the node's name gives it.
  unsigned devnum() const;
  File* file(UMockdevIoctlClient* client);

  std::map<UMockdevIoctlClient*, File> files_;
  bool gone_ = false;
};

}  // namespace sim::kernel
