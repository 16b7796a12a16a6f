#include "lib/hid/src/manager/hid.h"

#include <algorithm>
#include <limits>

namespace velk::hid {
namespace {

// Touched only inside the library context's one-time initialisation.
bool g_initialized = false;

Result<std::size_t> count_or(int result, HidError error) {
  if (result < 0) return std::unexpected<Error>(error);  // hidapi reports every failure as -1
  return static_cast<std::size_t>(result);
}

}  // namespace

Status HidManager::init() {
  if (g_initialized) return std::unexpected<Error>(HidError::Initialized);
  if (hid_init() != 0) return std::unexpected<Error>(HidError::General);
  g_initialized = true;
  return {};
}

HidDevice::~HidDevice() {
  if (device_ != nullptr) hid_close(device_);
}

Result<std::size_t> HidDevice::write(std::span<const std::uint8_t> data) {
  return count_or(hid_write(device_, data.data(), data.size()), HidError::Write);
}

Result<std::size_t> HidDevice::read_timeout(std::span<std::uint8_t> buffer,
                                            std::chrono::milliseconds timeout) {
  // hidapi's -1 would block without limit; the clamp keeps every timeout finite.
  const int millis = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 0, std::numeric_limits<int>::max()));
  return count_or(hid_read_timeout(device_, buffer.data(), buffer.size(), millis), HidError::Read);
}

Result<std::size_t> HidDevice::send_feature_report(std::span<const std::uint8_t> data) {
  return count_or(hid_send_feature_report(device_, data.data(), data.size()), HidError::Write);
}

Result<std::size_t> HidDevice::get_feature_report(std::span<std::uint8_t> buffer) {
  return count_or(hid_get_feature_report(device_, buffer.data(), buffer.size()), HidError::Read);
}

HidDeviceList::~HidDeviceList() {
  if (head_ != nullptr) hid_free_enumeration(head_);
}

Result<HidDevice> HidDeviceList::open(const hid_device_info& entry) {
  hid_device* device = hid_open_path(entry.path);
  if (device == nullptr) return std::unexpected<Error>(HidError::NotFound);
  return HidDevice(device);
}

HidDeviceList hid_devices(std::optional<std::uint16_t> vendor_id,
                          std::optional<std::uint16_t> product_id) {
  return HidDeviceList(hid_enumerate(vendor_id.value_or(0), product_id.value_or(0)));
}

}  // namespace velk::hid
