// HCI over USB in BTM mode: the vendor interface with its event endpoint, commands on the
// default control pipe, events from the interrupt-IN endpoint.
#pragma once

#include <libusb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "lib/clock/clock.h"
#include "lib/usb/usb.h"
#include "velk/src/c/error.h"
#include "velk/src/device/btm/btm_device.h"
#include "velk/src/device/mode.h"

namespace velk::btm {

// Commands and events never exceed this; one buffer of it serves a whole exchange.
constexpr std::size_t kHciBufferSize = 256;
using HciBuffer = std::array<std::uint8_t, kHciBufferSize>;

// Every HCI transfer in BTM mode waits this long.
constexpr std::chrono::milliseconds kHciTimeout{100};

constexpr std::uint8_t kHciInterfaceClass = 0xFF;
constexpr std::uint8_t kHciInterfaceSubClass = 0x01;

struct HciInterface {
  std::uint8_t interface_number;
  std::uint8_t endpoint_number;  // three bits; the event endpoint address adds 0x80

  std::uint8_t event_endpoint() const { return static_cast<std::uint8_t>(endpoint_number | 0x80); }
};

// The first vendor HCI setting (0xFF/0x01) that has an interrupt-IN endpoint.
Result<HciInterface> find_hci_interface(std::span<const libusb_interface> interfaces);
Result<HciInterface> find_hci_interface(const usb::ConfigDescriptor& config);

// One command on the default control pipe, addressed to the HCI interface.
Result<std::size_t> send_hci_command(BtmDevice& device, std::span<const std::uint8_t> packet);
// One event from the interrupt-IN endpoint.
Result<std::size_t> read_hci_event(BtmDevice& device, std::span<std::uint8_t> buffer);

// No working chip has this many events pending, nor sends this many of other channels while
// one answer is awaited, nor keeps sending them for this long; a chip that does is stuck sending.
constexpr std::size_t kMaxUnwantedEvents = 256;
constexpr Nanos kUnwantedEventsWindow = std::chrono::seconds(1);

// Whether a loop that has read `count` events it did not want since `start` should give up.
bool too_many_events(std::size_t count, Nanos start);

// Drains events left over from before the connection, so the first answer read is ours.
// Stops at the first failed read, normally the timeout. A device that sends too many
// (too_many_events) fails with DeviceError.
Status flush_events(BtmDevice& device);

}  // namespace velk::btm
