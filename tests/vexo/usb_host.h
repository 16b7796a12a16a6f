// The host side of the model tests: plain libusb calls on the virtual bus, and the wire bytes of
// the few HCI commands the tests send, written out field by field.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "sim/device.h"
#include "sim/vexo/vexo.h"
#include "tests/support/bccmd_frames.h"

namespace vexo_test {

using sim::Bytes;

inline constexpr std::uint16_t kGetReq = 0;
inline constexpr std::uint16_t kSetReq = 2;
inline constexpr std::uint16_t kPs = 0x7003;
inline constexpr std::uint16_t kPsClrStores = 0x500C;
inline constexpr std::uint16_t kColdReset = 0x4001;

// A vendor HCI command (opcode 0xFC00) carrying one whole BCCMD message on channel 2.
inline Bytes bccmd(std::uint16_t type, std::uint16_t sequence, std::uint16_t variable,
                   const Bytes& payload) {
  return velk::testing::bccmd_command({type, sequence, variable, payload});
}

// A 242-byte PS record: key, length in words, stores 0, the words, zero fill.
inline Bytes ps_record(std::uint16_t key, std::uint16_t length,
                       const std::vector<std::uint16_t>& words = {}, std::size_t size = 242) {
  Bytes record(size, 0);
  const auto put = [&](std::size_t at, std::uint16_t v) {
    record[at] = static_cast<std::uint8_t>(v & 0xFF);
    record[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  put(0, key);
  put(2, length);
  for (std::size_t i = 0; i < words.size(); ++i) put(6 + 2 * i, words[i]);
  return record;
}

// The PS read of the mode key (0x02AD) that velk sends, room for 118 words.
inline Bytes mode_key_read(std::uint16_t sequence = 0) {
  return bccmd(kGetReq, sequence, kPs, ps_record(0x02AD, 118));
}

inline std::uint16_t word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

class UsbHost {
 public:
  UsbHost() { libusb_init(&context_); }
  ~UsbHost() {
    for (auto* handle : handles_) libusb_close(handle);
    libusb_exit(context_);
  }
  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;

  // Vendor and product of every listed device, in list order.
  std::vector<std::pair<std::uint16_t, std::uint16_t>> listed() {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
    libusb_device** list = nullptr;
    const auto n = libusb_get_device_list(context_, &list);
    for (decltype(+n) i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) == 0) out.emplace_back(d.idVendor, d.idProduct);
    }
    libusb_free_device_list(list, 1);
    return out;
  }

  // Opens the first listed device with this identity; the host closes it at the end.
  libusb_device_handle* open(std::uint16_t vendor, std::uint16_t product) {
    libusb_device** list = nullptr;
    const auto n = libusb_get_device_list(context_, &list);
    libusb_device_handle* handle = nullptr;
    for (decltype(+n) i = 0; i < n && handle == nullptr; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
      if (d.idVendor == vendor && d.idProduct == product && libusb_open(list[i], &handle) == 0) {
        handles_.push_back(handle);
      }
    }
    libusb_free_device_list(list, 1);
    return handle;
  }

  // Class, subclass, protocol and class-specific bytes of each interface of configuration 0 of
  // the first listed device with this identity.
  struct Interface {
    int number, cls, subclass, protocol;
    Bytes extra;
    std::vector<std::pair<int, int>> endpoints;  // address, transfer type
  };
  std::vector<Interface> interfaces(std::uint16_t vendor, std::uint16_t product) {
    std::vector<Interface> out;
    libusb_device** list = nullptr;
    const auto n = libusb_get_device_list(context_, &list);
    for (decltype(+n) i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      libusb_config_descriptor* config = nullptr;
      if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendor ||
          d.idProduct != product || libusb_get_config_descriptor(list[i], 0, &config) != 0) {
        continue;
      }
      for (int j = 0; j < config->bNumInterfaces; ++j) {
        const auto& s = config->interface[j].altsetting[0];
        Interface itf{s.bInterfaceNumber,
                      s.bInterfaceClass,
                      s.bInterfaceSubClass,
                      s.bInterfaceProtocol,
                      Bytes(s.extra, s.extra + s.extra_length),
                      {}};
        for (int e = 0; e < s.bNumEndpoints; ++e) {
          itf.endpoints.emplace_back(s.endpoint[e].bEndpointAddress,
                                     s.endpoint[e].bmAttributes & 3);
        }
        out.push_back(std::move(itf));
      }
      libusb_free_config_descriptor(config);
      break;
    }
    libusb_free_device_list(list, 1);
    return out;
  }

  static int hci(libusb_device_handle* handle, const Bytes& packet) {
    return libusb_control_transfer(handle, 0x20, 0, 0, 0, const_cast<std::uint8_t*>(packet.data()),
                                   static_cast<std::uint16_t>(packet.size()), 100);
  }
  // The next event, or the libusb error of a read that got none within 100 ms.
  static std::pair<int, Bytes> event(libusb_device_handle* handle) {
    Bytes buffer(256);
    int n = 0;
    const int rc = libusb_interrupt_transfer(handle, 0x81, buffer.data(), 256, &n, 100);
    buffer.resize(rc == 0 ? static_cast<std::size_t>(n) : 0);
    return {rc, buffer};
  }
  // One whole exchange: the command, then its answer.
  static Bytes exchange(libusb_device_handle* handle, const Bytes& packet) {
    if (hci(handle, packet) != static_cast<int>(packet.size())) return {};
    return event(handle).second;
  }

 private:
  libusb_context* context_ = nullptr;
  std::vector<libusb_device_handle*> handles_;
};

// A Vexo in BTM mode, opened by the host in its normal identity.
class OpenVexo : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    vexo = sim::vexo::Vexo::plug();
    handle = host.open(0x7A11, 0x1300);
    ASSERT_NE(handle, nullptr);
  }

  std::shared_ptr<sim::vexo::Vexo> vexo;
  UsbHost host;
  libusb_device_handle* handle = nullptr;
};

}  // namespace vexo_test
