// A device for tests of the access layer and other generic code: its identity comes from
// plain structs and its answers from queues of canned responses, so a test can say exactly
// what the device does next without writing a model.
//
//   auto dev = std::make_shared<sim::ScriptedDevice>(
//       sim::DeviceSpec{.vendor = 0x7A11, .product = 0x1300},
//       sim::ConfigSpec{.interfaces = {{.number = 0, .endpoints = {{.address = 0x81}}}}});
//   dev->queue_interrupt(0x81, {0x0e, 0x04}, std::chrono::milliseconds(30));
//   dev->queue_control_in({1, 2, 3});
//   sim::bus().plug(dev);
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <variant>

#include "sim/descriptors.h"
#include "sim/device.h"

namespace sim {

class ScriptedDevice : public Device {
 public:
  ScriptedDevice(const DeviceSpec& device, const ConfigSpec& config);
  ScriptedDevice(const libusb_device_descriptor& device, Bytes config);

  // A canned answer: the bytes of a successful transfer or report, or a result code
  // (negative libusb code, or -1 for hidapi).
  using Response = std::variant<Bytes, int>;

  // Control reads are answered from this queue, in order. With the queue empty, standard
  // GET_DESCRIPTOR requests are answered from the identity and anything else stalls.
  void queue_control_in(Response response) { control_in_.push_back(std::move(response)); }
  // Control writes take the next result from this queue; with it empty they accept all bytes.
  void queue_control_out(int result) { control_out_.push_back(result); }
  // A packet that becomes pending on an interrupt-In endpoint `delay` after now (virtual
  // time). Packets come out in the order queued.
  void queue_interrupt(std::uint8_t endpoint, Bytes packet, std::chrono::nanoseconds delay = {});
  // Result of the next libusb_reset_device (default success) and what else happens then.
  std::function<int()> on_reset;
  // Handlers that take precedence over the queues when set.
  std::function<int(const ControlSetup&, std::span<std::uint8_t>)> on_control_in;
  std::function<int(const ControlSetup&, std::span<const std::uint8_t>)> on_control_out;
  // Claim results by interface number (default success).
  std::map<int, int> claim_results;

  // HID function. A device becomes a HID device with make_hid().
  void make_hid(HidInfo info = {});
  // An input report pending `delay` after now, as hid_read hands it out.
  void queue_hid_input(Bytes report, std::chrono::nanoseconds delay = {});
  // Feature reports returned by hid_get_feature_report in order: the report with its ID
  // byte first, or a result. The count returned includes the report-ID byte.
  void queue_feature(Response report) { features_.push_back(std::move(report)); }
  // Results of hid_write and hid_send_feature_report; with the queue empty they accept all.
  void queue_hid_write(int result) { hid_writes_.push_back(result); }
  void queue_send_feature(int result) { send_features_.push_back(result); }
  std::vector<std::u16string> strings;  // string descriptor i + 1

  // Everything written to the device, for assertions from the device's side.
  std::vector<Bytes> control_out_data;
  std::vector<Bytes> hid_writes;
  std::vector<Bytes> features_sent;
  std::vector<int> claims;    // interface numbers, in order
  std::vector<int> releases;  // interface numbers, in order
  int resets = 0;

  libusb_device_descriptor device_descriptor() const override { return descriptor_; }
  Bytes config_descriptor() const override { return config_; }
  int control_in(const ControlSetup& setup, std::span<std::uint8_t> data) override;
  int control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) override;
  std::optional<Bytes> interrupt_in(std::uint8_t endpoint) override;
  int claim_interface(int number) override;
  int release_interface(int number) override;
  int usb_reset() override;
  bool hid() const override { return hid_; }
  HidInfo hid_info() const override { return hid_info_; }
  int hid_write(std::span<const std::uint8_t> report) override;
  std::optional<Bytes> hid_read() override;
  int hid_send_feature(std::span<const std::uint8_t> report) override;
  int hid_get_feature(std::span<std::uint8_t> report) override;

 private:
  struct Timed {
    std::chrono::nanoseconds ready;
    Bytes bytes;
  };
  static int answer(std::deque<Response>& queue, std::span<std::uint8_t> out);

  libusb_device_descriptor descriptor_;
  Bytes config_;
  std::deque<Response> control_in_;
  std::deque<int> control_out_;
  std::map<std::uint8_t, std::deque<Timed>> interrupts_;
  bool hid_ = false;
  HidInfo hid_info_;
  std::deque<Timed> hid_input_;
  std::deque<Response> features_;
  std::deque<int> hid_writes_;
  std::deque<int> send_features_;
};

}  // namespace sim
