#include "sim/faults.h"

#include <libusb.h>

#include <algorithm>

namespace sim {

int Action::libusb_code() const {
  switch (type) {
    case Type::Stall:
      return LIBUSB_ERROR_PIPE;
    case Type::Timeout:
    case Type::TimeoutAfter:
      return LIBUSB_ERROR_TIMEOUT;
    case Type::Error:
      return code;
    case Type::InterruptedAfter:
      return LIBUSB_ERROR_INTERRUPTED;
    case Type::Unplug:
      return LIBUSB_ERROR_NO_DEVICE;
    case Type::Short:
      return LIBUSB_ERROR_IO;
  }
  return LIBUSB_ERROR_OTHER;
}

TransferCut cut_transfer(const std::optional<Action>& fault, std::size_t length) {
  if (!fault) return {.limit = length};
  const std::size_t bytes = std::min(length, static_cast<std::size_t>(std::max(fault->bytes, 0)));
  switch (fault->type) {
    case Action::Type::Short:
      return {.limit = bytes};
    case Action::Type::InterruptedAfter:
      if (bytes == 0) return {.at_once = true};
      return {.limit = bytes, .end = TransferCut::End::Interrupted};
    case Action::Type::TimeoutAfter:
      return {.limit = bytes, .end = TransferCut::End::TimedOut};
    case Action::Type::Stall:
    case Action::Type::Timeout:
    case Action::Type::Error:
    case Action::Type::Unplug:
      break;
  }
  return {.at_once = true};
}

namespace {

bool matches(const RequestKey& m, const RequestKey& key) {
  if (m.kind != key.kind) return false;
  if (m.device != nullptr && m.device != key.device) return false;
  if (m.request && m.request != key.request) return false;
  if (m.endpoint && m.endpoint != key.endpoint) return false;
  if (m.report_id && m.report_id != key.report_id) return false;
  return true;
}

}  // namespace

std::size_t Faults::pending() const {
  std::size_t n = 0;
  for (const auto& f : armed_) {
    if (f.times != 0) ++n;
  }
  return n;
}

std::optional<Action> Faults::take(const RequestKey& key) {
  for (auto& f : armed_) {
    if (f.times == 0 || !matches(f.match, key)) continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    if (f.times > 0) --f.times;
    ++fired_;
    return f.action;
  }
  return std::nullopt;
}

}  // namespace sim
