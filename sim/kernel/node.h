// One device node of the testbed (a usbfs node or a hidraw node) and its ioctl, read and write
// handler. umockdev calls the handler on its worker thread; every request takes the bus's lock,
// first lets the bus's clock catch up with real time, and ends by letting the model's pending
// work complete (service), so that the model sees the requests in the order the host made them.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/device.h"
#include "sim/faults.h"

namespace sim::kernel {

// Real time drives the bus's clock at the kernel interface: the model's timeline (restarts,
// erases, re-enumeration) passes as the host's sleeps and timeouts do. Under the bus's lock.
void catch_up_with_real_time();

class Node {
 public:
  Node(std::uint64_t attachment, std::string devnode);
  virtual ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  std::uint64_t attachment() const { return attachment_; }
  const std::string& devnode() const { return devnode_; }
  UMockdevIoctlBase* handler() const { return handler_; }

  // Under the bus's lock: completes what the device has done since (URBs, input reports), and
  // answers the requests that wait for it; once the device has left the bus, they fail.
  virtual void service() = 0;
  // Every millisecond or so: notices the files that programs closed, then on_tick().
  void tick();
  // Whether a program still has the node open.
  virtual bool in_use() const = 0;

 protected:
  // The model while the device is on the bus, else null.
  std::shared_ptr<Device> model() const;
  // Whether a fault fired for the request. A kernel sees only a pulled cable; any other fault
  // is named as a failure of the run, as it is not modelled here.
  static bool fault_fired(const RequestKey& key);

  // Each returns true when it has taken the request (and completes it now or later).
  virtual bool on_ioctl(UMockdevIoctlClient* client) = 0;
  virtual bool on_read(UMockdevIoctlClient* client);
  virtual bool on_write(UMockdevIoctlClient* client);
  virtual void on_open(UMockdevIoctlClient* /*client*/) {}
  virtual void on_close(UMockdevIoctlClient* /*client*/) {}
  // service(), and the answers that wait only until the next tick.
  virtual void on_tick() { service(); }

  // A request the model does not serve: named loudly, remembered as a failure of the run, and
  // refused as the kernel refuses an unknown ioctl.
  void unserved(UMockdevIoctlClient* client, const std::string& name);

 private:
  static gboolean ioctl_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static gboolean read_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static gboolean write_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static void connected_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  template <class F>
  gboolean dispatch(F&& handle);

  std::uint64_t attachment_;
  std::string devnode_;
  UMockdevIoctlBase* handler_;
  // The open files (umockdev tells of a new one, but not of one that closed).
  std::vector<UMockdevIoctlClient*> clients_;
};

// An owned GObject reference (umockdev's resolved data, a waiting client).
template <class T>
class Ref {
 public:
  Ref() = default;
  // Takes over a reference that the caller owns.
  static Ref adopt(T* object) {
    Ref r;
    r.object_ = object;
    return r;
  }
  // Adds a reference of its own.
  static Ref share(T* object) {
    return adopt(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// The testbed's root folder (umockdev hands out a copy to free).
std::string root_of(UMockdevTestbed* testbed);

// Reads `length` bytes of the client's memory that the pointer at `offset` of `data` points to;
// null when the pointer is null or the memory cannot be read.
Ref<UMockdevIoctlData> resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length);

}  // namespace sim::kernel
