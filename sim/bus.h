// The virtual USB bus: the devices plugged into it, the virtual clock their timelines run
// on, fault injection and the log of every request. One bus per process, as libusb and
// hidapi are process-wide; tests start each case with sim::reset().
//
// A test or scenario plugs models in, schedules their timelines with after(), arms faults and
// reads the request log:
//
//   auto dev = std::make_shared<sim::ScriptedDevice>(...);
//   sim::bus().plug(dev);
//   sim::bus().after(std::chrono::seconds(2), [&] { sim::bus().unplug(*dev); });
//   sim::bus().faults().add({.match = {.kind = sim::RequestKind::Claim}, .action =
//   sim::Action::stall()});
//   ... code under test ...
//   EXPECT_EQ(sim::bus().requests().count(sim::RequestKind::ControlOut), 3u);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/bindings.h"
#include "sim/device.h"
#include "sim/faults.h"
#include "sim/request_log.h"

namespace sim {

using Nanos = std::chrono::nanoseconds;
using EventId = std::uint64_t;

// A wait that the caller did not bound (libusb timeout 0, a blocking HID read) gives up after
// this much virtual time when nothing is scheduled that could end it, instead of hanging.
inline constexpr Nanos kUnboundedWaitCap = std::chrono::hours(1);

// Objects that the code under test holds and must give back. Compare two snapshots to find a
// leak or a double release.
struct Resources {
  int usb_contexts = 0;
  int device_lists = 0;
  int device_refs = 0;  // references taken by the caller, through lists and libusb_ref_device
  int config_descriptors = 0;
  int usb_handles = 0;
  int hid_enumerations = 0;
  int hid_handles = 0;
  bool operator==(const Resources&) const = default;
};

// One plug-in of a device: its identity as read at that moment, the address it got and the
// host's drivers on its interfaces. A device plugged in again is a new attachment with a new
// address. The front ends keep their own objects for it (libusb devices, hidapi paths, kernel
// nodes) under its id.
struct Attachment {
  std::uint64_t id = 0;
  std::shared_ptr<Device> device;
  std::uint8_t bus_number = 1;
  std::uint8_t port = 0;
  std::uint8_t address = 0;
  libusb_device_descriptor descriptor{};
  Bytes config;
  bool hid = false;
  HidInfo hid_info;
  Bindings bindings;
};

// How a wait for a device ends.
enum class Waited : std::uint8_t { Ready, Unplugged, TimedOut };

class Bus {
 public:
  Bus() = default;
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Plugs a device in now. It is listed from the next enumeration on, with the identity that
  // its device_descriptor() and config_descriptor() give at this moment.
  void plug(std::shared_ptr<Device> device);
  // Unplugs it now. Handles opened on it fail with LIBUSB_ERROR_NO_DEVICE (HID calls with -1)
  // from now on, also after the device is plugged in again.
  void unplug(Device& device);
  bool plugged(const Device& device) const;
  // Unplugs the device now and plugs it in again after `delay`: a restart with re-enumeration.
  void replug(Device& device, Nanos delay);
  // The plugged devices in the order they were plugged in.
  std::vector<std::shared_ptr<Device>> devices() const;

  // Virtual time. Sleeps and transfer timeouts of the library advance it; events scheduled
  // with after() run when it passes their time, in time order (equal times: in order of
  // scheduling). advance(0) runs the events that are due now.
  Nanos now() const;
  EventId after(Nanos delay, std::function<void()> event);
  void cancel(EventId id);
  void advance(Nanos duration);
  std::optional<Nanos> next_event() const;

  Faults& faults() { return faults_; }
  RequestLog& requests() { return requests_; }
  Resources resources() const;
  // Misuse of the libusb and hidapi API noticed by the front ends (a stale pointer, a double
  // free, an unreference too many). Real libraries would crash or corrupt memory instead.
  const std::vector<std::string>& misuse() const { return misuse_; }

  // Drops every device, event, fault, log record and misuse note and sets the clock to zero.
  // Objects the caller still holds stay valid to release; their devices are gone.
  void reset();

  // ---- For the libusb and hidapi front ends ----
  std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }
  const std::vector<Attachment>& attachments() const { return attachments_; }
  // The attachment while its device is plugged in, else null.
  const Attachment* attachment(std::uint64_t id) const;
  // Its model (a copy, so that a model may unplug itself from inside a handler), else null.
  std::shared_ptr<Device> model(std::uint64_t id) const;
  // The drivers on its interfaces while it is plugged in, else null.
  Bindings* bindings(std::uint64_t id);
  // The kernel driver bound to an interface of a plugged-in device ("" for none).
  std::string driver(std::uint64_t attachment, int interface) const;
  // Lets virtual time pass, running due events, until poll() holds, the device leaves the bus
  // or `limit` has passed (then the clock stands at the limit).
  Waited wait_for(std::uint64_t attachment, Nanos limit, const std::function<bool()>& poll);
  // Runs with an attachment's id as its device leaves the bus: a front end drops its objects.
  void on_unplug(std::function<void(std::uint64_t)> observer);
  // Consults the faults and handles an Unplug action's side effect; the caller maps the
  // action to its return value.
  std::optional<Action> fault_for(const RequestKey& key);
  void record(Request request);
  void note_misuse(std::string what);
  Resources& counters() { return counters_; }
  // Runs once, when the first request has been recorded (the preloaded simulator checks
  // then that its scenario was found).
  std::function<void()> on_first_request;

 private:
  struct Event {
    EventId id;
    std::function<void()> run;
  };

  void unplug_locked(Device& device);

  mutable std::recursive_mutex mutex_;
  std::vector<Attachment> attachments_;
  std::uint64_t next_attachment_ = 1;  // never reset, so stale handles never match
  std::uint8_t next_address_ = 1;
  Nanos now_{0};
  std::multimap<Nanos, Event> events_;
  EventId next_event_ = 1;
  Faults faults_;
  RequestLog requests_;
  Resources counters_;
  std::vector<std::string> misuse_;
  std::vector<std::function<void(std::uint64_t)>> unplug_observers_;
};

Bus& bus();
// Drops every device, event, fault and log record and sets the clock back to zero.
void reset();

}  // namespace sim
