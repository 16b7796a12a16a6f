// Every call that reaches the virtual world is recorded here, so that tests can assert the
// exact traffic: which requests, in which order, with which bytes, and what they returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"

namespace sim {

enum class RequestKind : std::uint8_t {
  UsbInit,
  UsbExit,
  GetDeviceList,
  DeviceDescriptor,
  ConfigDescriptor,
  Open,
  Close,
  Claim,
  Release,
  Reset,
  ControlIn,
  ControlOut,
  InterruptIn,
  HidInit,
  HidExit,
  HidEnumerate,
  HidOpen,
  HidClose,
  HidWrite,
  HidRead,
  HidSendFeature,
  HidGetFeature,
};

std::string_view to_string(RequestKind kind);
inline std::ostream& operator<<(std::ostream& os, RequestKind kind) {
  return os << to_string(kind);
}

struct Request {
  std::chrono::nanoseconds time{};  // virtual time when the call returned
  RequestKind kind{};
  const Device* device = nullptr;  // the model addressed, if any
  std::uint64_t attachment = 0;    // which plug-in of it (0: none)
  ControlSetup setup{};            // control transfers
  std::uint8_t endpoint = 0;       // interrupt transfers
  int interface = -1;              // claim and release
  int timeout_ms = 0;              // transfers and HID reads, as passed
  Bytes data;                      // bytes sent, or bytes received for reads
  int result = 0;                  // the return value the caller saw
  int transferred = 0;             // interrupt transfers: *transferred
  bool faulted = false;            // an injected fault decided the outcome

  // HID reports carry their report ID in the first byte.
  std::uint8_t report_id() const { return data.empty() ? 0 : data[0]; }
};

// One line for failure messages: "12ms ControlOut dev=1 21 01 0000 0000 len=4 -> 4 [1, 2, 3, 4]".
std::string describe(const Request& request);

class RequestLog {
 public:
  const std::vector<Request>& all() const { return records_; }
  void clear() { records_.clear(); }
  void add(Request request) { records_.push_back(std::move(request)); }

  std::vector<Request> of(RequestKind kind) const;
  std::size_t count(RequestKind kind) const;
  // The most recent request of that kind, or null.
  const Request* last(RequestKind kind) const;
  // The kinds in order, optionally without the chatter of enumeration (list and descriptor
  // reads), which makes scenario assertions readable.
  std::vector<RequestKind> kinds(bool include_enumeration = true) const;
  // Control transfers with this bRequest, in and out.
  std::vector<Request> control(std::uint8_t request) const;
  // Everything, one describe() line each.
  std::string dump() const;

 private:
  std::vector<Request> records_;
};

}  // namespace sim
