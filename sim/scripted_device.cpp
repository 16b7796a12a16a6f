#include "sim/scripted_device.h"

#include <algorithm>

#include "sim/bus.h"

namespace sim {

ScriptedDevice::ScriptedDevice(const DeviceSpec& device, const ConfigSpec& config)
    : descriptor_(make_device_descriptor(device)), config_(build_config(config)) {}

ScriptedDevice::ScriptedDevice(const libusb_device_descriptor& device, Bytes config)
    : descriptor_(device), config_(std::move(config)) {}

void ScriptedDevice::queue_interrupt(std::uint8_t endpoint, Bytes packet,
                                     std::chrono::nanoseconds delay) {
  const auto ready = bus().now() + delay;
  interrupts_[endpoint].push_back({ready, std::move(packet)});
  // Waiting readers only look again when an event runs: this one marks the moment.
  if (delay > std::chrono::nanoseconds::zero()) bus().after(delay, [] {});
}

void ScriptedDevice::make_hid(HidInfo info) {
  hid_ = true;
  hid_info_ = std::move(info);
}

void ScriptedDevice::queue_hid_input(Bytes report, std::chrono::nanoseconds delay) {
  hid_input_.push_back({bus().now() + delay, std::move(report)});
  if (delay > std::chrono::nanoseconds::zero()) bus().after(delay, [] {});
}

int ScriptedDevice::answer(std::deque<Response>& queue, std::span<std::uint8_t> out) {
  if (queue.empty()) return -1;
  Response r = std::move(queue.front());
  queue.pop_front();
  if (const int* code = std::get_if<int>(&r)) return *code;
  const Bytes& bytes = std::get<Bytes>(r);
  const std::size_t n = std::min(out.size(), bytes.size());
  std::copy_n(bytes.begin(), n, out.begin());
  return static_cast<int>(n);
}

int ScriptedDevice::control_in(const ControlSetup& setup, std::span<std::uint8_t> data) {
  if (on_control_in) return on_control_in(setup, data);
  if (!control_in_.empty())
    return answer(control_in_, data.first(std::min<std::size_t>(data.size(), setup.length)));
  if (auto n = standard_request(setup, data, descriptor_, config_, strings)) return *n;
  return LIBUSB_ERROR_PIPE;
}

int ScriptedDevice::control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) {
  control_out_data.emplace_back(data.begin(), data.end());
  if (on_control_out) return on_control_out(setup, data);
  if (control_out_.empty()) return static_cast<int>(data.size());
  const int result = control_out_.front();
  control_out_.pop_front();
  return result;
}

std::optional<Bytes> ScriptedDevice::interrupt_in(std::uint8_t endpoint) {
  auto it = interrupts_.find(endpoint);
  if (it == interrupts_.end() || it->second.empty() || it->second.front().ready > bus().now())
    return std::nullopt;
  Bytes packet = std::move(it->second.front().bytes);
  it->second.pop_front();
  return packet;
}

int ScriptedDevice::claim_interface(int number) {
  claims.push_back(number);
  auto it = claim_results.find(number);
  return it == claim_results.end() ? LIBUSB_SUCCESS : it->second;
}

int ScriptedDevice::release_interface(int number) {
  releases.push_back(number);
  return LIBUSB_SUCCESS;
}

int ScriptedDevice::usb_reset() {
  ++resets;
  return on_reset ? on_reset() : LIBUSB_SUCCESS;
}

int ScriptedDevice::hid_write(std::span<const std::uint8_t> report) {
  hid_writes.emplace_back(report.begin(), report.end());
  if (hid_writes_.empty()) return static_cast<int>(report.size());
  const int result = hid_writes_.front();
  hid_writes_.pop_front();
  return result;
}

std::optional<Bytes> ScriptedDevice::hid_read() {
  if (hid_input_.empty() || hid_input_.front().ready > bus().now()) return std::nullopt;
  Bytes report = std::move(hid_input_.front().bytes);
  hid_input_.pop_front();
  return report;
}

int ScriptedDevice::hid_send_feature(std::span<const std::uint8_t> report) {
  features_sent.emplace_back(report.begin(), report.end());
  if (send_features_.empty()) return static_cast<int>(report.size());
  const int result = send_features_.front();
  send_features_.pop_front();
  return result;
}

int ScriptedDevice::hid_get_feature(std::span<std::uint8_t> report) {
  return answer(features_, report);
}

}  // namespace sim
