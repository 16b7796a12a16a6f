#include "sim/request_log.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

namespace sim {

std::string_view to_string(RequestKind kind) {
  switch (kind) {
    case RequestKind::UsbInit:
      return "UsbInit";
    case RequestKind::UsbExit:
      return "UsbExit";
    case RequestKind::GetDeviceList:
      return "GetDeviceList";
    case RequestKind::DeviceDescriptor:
      return "DeviceDescriptor";
    case RequestKind::ConfigDescriptor:
      return "ConfigDescriptor";
    case RequestKind::Open:
      return "Open";
    case RequestKind::Close:
      return "Close";
    case RequestKind::Claim:
      return "Claim";
    case RequestKind::Release:
      return "Release";
    case RequestKind::Reset:
      return "Reset";
    case RequestKind::ControlIn:
      return "ControlIn";
    case RequestKind::ControlOut:
      return "ControlOut";
    case RequestKind::InterruptIn:
      return "InterruptIn";
    case RequestKind::HidInit:
      return "HidInit";
    case RequestKind::HidExit:
      return "HidExit";
    case RequestKind::HidEnumerate:
      return "HidEnumerate";
    case RequestKind::HidOpen:
      return "HidOpen";
    case RequestKind::HidClose:
      return "HidClose";
    case RequestKind::HidWrite:
      return "HidWrite";
    case RequestKind::HidRead:
      return "HidRead";
    case RequestKind::HidSendFeature:
      return "HidSendFeature";
    case RequestKind::HidGetFeature:
      return "HidGetFeature";
  }
  return "?";
}

std::string describe(const Request& r) {
  std::string out = fmt::format("{}us {}", r.time.count() / 1000, to_string(r.kind));
  if (r.attachment != 0) out += fmt::format(" dev={}", r.attachment);
  switch (r.kind) {
    case RequestKind::ControlIn:
    case RequestKind::ControlOut:
      out += fmt::format(" {:02x} {:02x} {:04x} {:04x} len={}", r.setup.request_type,
                         r.setup.request, r.setup.value, r.setup.index, r.setup.length);
      break;
    case RequestKind::InterruptIn:
      out += fmt::format(" ep={:#x}", r.endpoint);
      break;
    case RequestKind::Claim:
    case RequestKind::Release:
      out += fmt::format(" if={}", r.interface);
      break;
    default:
      break;
  }
  out += fmt::format(" -> {}", r.result);
  if (r.kind == RequestKind::InterruptIn) out += fmt::format(" transferred={}", r.transferred);
  if (r.faulted) out += " (fault)";
  if (!r.data.empty()) out += fmt::format(" [{:x}]", fmt::join(r.data, ", "));
  return out;
}

std::vector<Request> RequestLog::of(RequestKind kind) const {
  std::vector<Request> out;
  std::copy_if(records_.begin(), records_.end(), std::back_inserter(out),
               [&](const Request& r) { return r.kind == kind; });
  return out;
}

std::size_t RequestLog::count(RequestKind kind) const {
  return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(),
                                                [&](const Request& r) { return r.kind == kind; }));
}

const Request* RequestLog::last(RequestKind kind) const {
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (it->kind == kind) return &*it;
  }
  return nullptr;
}

std::vector<RequestKind> RequestLog::kinds(bool include_enumeration) const {
  std::vector<RequestKind> out;
  for (const auto& r : records_) {
    const bool enumeration =
        r.kind == RequestKind::GetDeviceList || r.kind == RequestKind::DeviceDescriptor ||
        r.kind == RequestKind::ConfigDescriptor || r.kind == RequestKind::HidEnumerate;
    if (include_enumeration || !enumeration) out.push_back(r.kind);
  }
  return out;
}

std::vector<Request> RequestLog::control(std::uint8_t request) const {
  std::vector<Request> out;
  std::copy_if(records_.begin(), records_.end(), std::back_inserter(out), [&](const Request& r) {
    return (r.kind == RequestKind::ControlIn || r.kind == RequestKind::ControlOut) &&
           r.setup.request == request;
  });
  return out;
}

std::string RequestLog::dump() const {
  std::string out;
  for (const auto& r : records_) {
    out += describe(r);
    out += '\n';
  }
  return out;
}

}  // namespace sim
