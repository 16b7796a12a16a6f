#include "sim/kernel/usbfs.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <span>

#include "sim/bus.h"
#include "sim/descriptors.h"
#include "sim/kernel/journal.h"
#include "sim/usb/config_parser.h"

namespace sim::kernel {
namespace {

// The capabilities of a current kernel on a scatter-gather capable host controller.
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr std::size_t kSetupSize = 8;
// The interfaces a file can claim: usbfs keeps its claims in a word of 32 bits on 32-bit hosts
// and of 64 on 64-bit ones.
constexpr unsigned kClaimable = 64;
// The speed sysfs shows (12 Mbit/s), as the kernel's enum usb_device_speed.
constexpr int kSpeed = 2;  // USB_SPEED_FULL
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint8_t kRequestTypeMask = 0x60;

// A model's libusb-style failure as the status the host controller gives the URB.
int urb_status(int libusb_code) {
  switch (libusb_code) {
    case LIBUSB_ERROR_PIPE:
      return -EPIPE;
    case LIBUSB_ERROR_OVERFLOW:
      return -EOVERFLOW;
    case LIBUSB_ERROR_NO_DEVICE:
      return -ESHUTDOWN;
    default:
      return -EPROTO;
  }
}

// A failed request that the kernel makes on its own and waits for, as its usb_control_msg
// reports it.
int sync_status(int libusb_code) {
  return libusb_code == LIBUSB_ERROR_TIMEOUT ? -ETIMEDOUT : urb_status(libusb_code);
}

std::span<const libusb_interface> usb_interfaces(const libusb_config_descriptor& config) {
  return {config.interface, config.bNumInterfaces};
}

// The names of the usbfs ioctls that libusb's Linux back end makes.
std::string ioctl_name(unsigned long request) {
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return "GET_CAPABILITIES";
    case USBDEVFS_CLAIMINTERFACE:
      return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE:
      return "RELEASEINTERFACE";
    case USBDEVFS_DISCONNECT_CLAIM:
      return "DISCONNECT_CLAIM";
    case USBDEVFS_GETDRIVER:
      return "GETDRIVER";
    case USBDEVFS_IOCTL:
      return "IOCTL";
    case USBDEVFS_RESET:
      return "RESET";
    case USBDEVFS_SUBMITURB:
      return "SUBMITURB";
    case USBDEVFS_DISCARDURB:
      return "DISCARDURB";
    case USBDEVFS_REAPURB:
      return "REAPURB";
    case USBDEVFS_REAPURBNDELAY:
      return "REAPURBNDELAY";
    case USBDEVFS_SETINTERFACE:
      return "SETINTERFACE";
    case USBDEVFS_CONNECTINFO:
      return "CONNECTINFO";
    case USBDEVFS_GET_SPEED:
      return "GET_SPEED";
    case USBDEVFS_CLEAR_HALT:
      return "CLEAR_HALT";
    case USBDEVFS_CONTROL:
      return "CONTROL";
    default:
      return fmt::format("usbfs ioctl {:#x} (type '{}', number {})", request,
                         static_cast<char>(_IOC_TYPE(request)), _IOC_NR(request));
  }
}

std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

UsbfsNode::~UsbfsNode() = default;

UsbfsNode::File* UsbfsNode::file(UMockdevIoctlClient* client) {
  auto it = files_.find(client);
  return it == files_.end() ? nullptr : &it->second;
}

void UsbfsNode::on_open(UMockdevIoctlClient* client) {
  files_[client];
  journal().trace(fmt::format("{} open", devnode()));
}

void UsbfsNode::on_close(UMockdevIoctlClient* client) {
  // The kernel releases the file's interfaces and kills its URBs; kernel drivers stay unbound.
  if (File* f = file(client); f != nullptr && bindings() != nullptr) bindings()->release_all(f);
  files_.erase(client);
  journal().trace(fmt::format("{} close", devnode()));
}

bool UsbfsNode::on_read(UMockdevIoctlClient* client) {
  File* f = file(client);
  if (f == nullptr) {
    unserved(client, "a read of a file it did not see opened");
    return true;
  }
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  const Attachment* a = gone_ ? nullptr : bus().attachment(attachment());
  if (a == nullptr) {
    journal().trace(
        fmt::format("{} read({}) after the device left -> ENODEV", devnode(), buffer->data_len));
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
  }
  // The descriptors as the kernel read them when the device joined: the device descriptor,
  // then each configuration whole.
  Bytes descriptors = device_descriptor_bytes(a->descriptor);
  descriptors.insert(descriptors.end(), a->config.begin(), a->config.end());
  const std::size_t start = std::min(f->read_position, descriptors.size());
  const std::size_t n =
      std::min(descriptors.size() - start, static_cast<std::size_t>(std::max(buffer->data_len, 0)));
  std::copy_n(descriptors.begin() + static_cast<std::ptrdiff_t>(start), n, buffer->data);
  f->read_position = start + n;
  journal().trace(fmt::format("{} read({}) -> {}", devnode(), buffer->data_len, n));
  umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
  return true;
}

Bindings* UsbfsNode::bindings() const {
  return bus().bindings(attachment());
}

bool UsbfsNode::has_interface(int interface) const {
  return bindings() != nullptr && bindings()->has(interface);
}

int UsbfsNode::alternate_settings(int interface) const {
  const Attachment* a = bus().attachment(attachment());
  auto parsed = a ? usb::parse_config(a->config) : nullptr;
  if (!parsed) return 0;
  for (const auto& i : usb_interfaces(parsed->config)) {
    if (i.num_altsetting > 0 && i.altsetting[0].bInterfaceNumber == interface)
      return i.num_altsetting;
  }
  return 0;
}

std::set<std::uint8_t> UsbfsNode::endpoints_of(int interface) const {
  std::set<std::uint8_t> endpoints;
  const Attachment* a = bus().attachment(attachment());
  auto parsed = a ? usb::parse_config(a->config) : nullptr;
  if (!parsed) return endpoints;
  for (const auto& i : usb_interfaces(parsed->config)) {
    for (const auto& setting : std::span(i.altsetting, i.num_altsetting)) {
      if (setting.bInterfaceNumber != interface) continue;
      for (const auto& e : std::span(setting.endpoint, setting.bNumEndpoints))
        endpoints.insert(e.bEndpointAddress);
    }
  }
  return endpoints;
}

unsigned UsbfsNode::devnum() const {
  return static_cast<unsigned>(std::stoul(devnode().substr(devnode().rfind('/') + 1)));
}

std::string UsbfsNode::driver(int interface) const {
  return bindings() ? bindings()->holder(interface) : std::string();
}

bool UsbfsNode::on_ioctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const unsigned long value = *reinterpret_cast<const unsigned long*>(arg->data);
  File* f = file(client);
  if (f == nullptr) {
    unserved(client, "an ioctl on a file it did not see opened");
    return true;
  }

  auto read_uint = [&]() -> std::optional<unsigned> {
    auto data = resolve(arg, 0, sizeof(unsigned));
    if (!data) return std::nullopt;
    unsigned v;
    std::memcpy(&v, data->data, sizeof v);
    return v;
  };
  const std::string name = ioctl_name(request);
  auto finish = [&](const std::string& detail, int result) {
    journal().trace(fmt::format("{} {}{} -> {}", devnode(), name, detail, result_text(result)));
    umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
    return true;
  };

  // Reaping may hand out URBs that ended before the device left; everything else fails then.
  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
    return reap(*f, client, request == USBDEVFS_REAPURB);
  }
  if (gone_ || !model()) return finish(" after the device left", -ENODEV);

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      auto data = resolve(arg, 0, sizeof(std::uint32_t));
      if (!data) return finish("", -EFAULT);
      std::memcpy(data->data, &kCapabilities, sizeof kCapabilities);
      return finish("", 0);
    }
    case USBDEVFS_CLAIMINTERFACE: {
      auto interface = read_uint();
      if (!interface) return finish("", -EFAULT);
      return finish(fmt::format(" {}", *interface), claim(*f, *interface));
    }
    case USBDEVFS_RELEASEINTERFACE: {
      auto interface = read_uint();
      if (!interface) return finish("", -EFAULT);
      return finish(fmt::format(" {}", *interface), release(*f, *interface));
    }
    case USBDEVFS_DISCONNECT_CLAIM:
      return finish("", disconnect_claim(*f, arg));
    case USBDEVFS_GETDRIVER:
      return finish("", get_driver(arg));
    case USBDEVFS_IOCTL:
      return finish("", driver_ioctl(arg));
    case USBDEVFS_RESET:
      return finish("", reset());
    case USBDEVFS_SUBMITURB:
      return finish("", submit(*f, arg));
    case USBDEVFS_DISCARDURB:
      return finish("", discard(*f, value));
    case USBDEVFS_SETINTERFACE: {
      auto data = resolve(arg, 0, sizeof(usbdevfs_setinterface));
      if (!data) return finish("", -EFAULT);
      const auto* si = reinterpret_cast<const usbdevfs_setinterface*>(data->data);
      return finish(fmt::format(" {} alt {}", si->interface, si->altsetting),
                    set_interface(*f, si->interface, si->altsetting));
    }
    case USBDEVFS_CONNECTINFO: {
      auto data = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
      if (!data) return finish("", -EFAULT);
      // A full-speed device, so never "slow"; the address is the node's.
      const usbdevfs_connectinfo info{.devnum = devnum(), .slow = 0};
      std::memcpy(data->data, &info, sizeof info);
      return finish("", 0);
    }
    case USBDEVFS_GET_SPEED:
      return finish("", kSpeed);
    case USBDEVFS_CONTROL:
      return finish("", control(*f, arg));
    case USBDEVFS_CLEAR_HALT: {
      auto endpoint = read_uint();
      if (!endpoint) return finish("", -EFAULT);
      return finish(fmt::format(" {:02x}", *endpoint), clear_halt(*f, *endpoint));
    }
    default:
      unserved(client, name);
      return true;
  }
}

int UsbfsNode::claim(File& file, unsigned interface) {
  if (interface >= kClaimable) return -EINVAL;
  Bindings* b = bindings();
  if (b == nullptr) return -ENODEV;
  const int number = static_cast<int>(interface);
  if (b->claimed_by(number, &file)) return 0;
  if (!b->has(number)) return -ENOENT;
  if (b->claimable(number, &file) != Bindings::Claim::Taken) return -EBUSY;
  b->claim(number, &file);
  return 0;
}

int UsbfsNode::set_interface(File& file, unsigned interface, unsigned alternate) {
  if (int r = claim(file, interface); r < 0) return r;
  const int settings = alternate_settings(static_cast<int>(interface));
  if (alternate >= static_cast<unsigned>(settings)) return -EINVAL;
  // URBs queued on the interface's endpoints are killed with the old setting; the host reaps
  // them as cancelled.
  const std::set<std::uint8_t> endpoints = endpoints_of(static_cast<int>(interface));
  for (auto it = file.in_flight.begin(); it != file.in_flight.end();) {
    if (endpoints.contains(it->get()->endpoint)) {
      complete(file, it, -ENOENT, it->get()->actual_length);
      it = file.in_flight.begin();
    } else {
      ++it;
    }
  }
  const ControlSetup setup{LIBUSB_RECIPIENT_INTERFACE, kSetInterface,
                           static_cast<std::uint16_t>(alternate),
                           static_cast<std::uint16_t>(interface), 0};
  const int result = model()->control_out(setup, {});
  // A device may stall SET_INTERFACE on an interface that has only its default setting; the
  // kernel then takes the setting as chosen.
  if (result == LIBUSB_ERROR_PIPE && settings == 1) {
    journal().trace(fmt::format("{} the device stalls SET_INTERFACE {} alt {}: the only setting",
                                devnode(), interface, alternate));
    return 0;
  }
  return result < 0 ? sync_status(result) : 0;
}

int UsbfsNode::clear_halt(File& file, unsigned endpoint) {
  const int interface = interface_of_endpoint(endpoint);
  if (interface < 0) return interface;
  if (int r = claim(file, static_cast<unsigned>(interface)); r < 0) return r;
  const ControlSetup setup{LIBUSB_RECIPIENT_ENDPOINT, LIBUSB_REQUEST_CLEAR_FEATURE,
                           /*ENDPOINT_HALT*/ 0, static_cast<std::uint16_t>(endpoint), 0};
  const int result = model()->control_out(setup, {});
  return result < 0 ? sync_status(result) : 0;
}

int UsbfsNode::release(File& file, unsigned interface) {
  if (interface >= kClaimable || !bindings()->release(static_cast<int>(interface), &file))
    return -EINVAL;
  return 0;
}

int UsbfsNode::disconnect_claim(File& file, UMockdevIoctlData* arg) {
  auto data = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
  if (!data) return -EFAULT;
  auto* dc = reinterpret_cast<usbdevfs_disconnect_claim*>(data->data);
  dc->driver[sizeof dc->driver - 1] = '\0';
  const int interface = static_cast<int>(dc->interface);
  if (!has_interface(interface)) return -EINVAL;
  const std::string bound = driver(interface);
  journal().trace(fmt::format("{} DISCONNECT_CLAIM {} flags {:#x} '{}' (bound: '{}')", devnode(),
                              interface, dc->flags, dc->driver, bound));
  if (!bound.empty()) {
    const bool named = bound == dc->driver;
    if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 && !named) return -EBUSY;
    if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 && named) return -EBUSY;
    bindings()->unbind(interface);
  }
  return claim(file, dc->interface);
}

int UsbfsNode::get_driver(UMockdevIoctlData* arg) {
  auto data = resolve(arg, 0, sizeof(usbdevfs_getdriver));
  if (!data) return -EFAULT;
  auto* gd = reinterpret_cast<usbdevfs_getdriver*>(data->data);
  const std::string bound = has_interface(static_cast<int>(gd->interface))
                                ? driver(static_cast<int>(gd->interface))
                                : std::string();
  if (bound.empty()) return -ENODATA;
  std::snprintf(gd->driver, sizeof gd->driver, "%s", bound.c_str());
  return 0;
}

int UsbfsNode::driver_ioctl(UMockdevIoctlData* arg) {
  auto data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
  if (!data) return -EFAULT;
  const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(data->data);
  const int interface = command->ifno;
  if (!has_interface(interface)) return -EINVAL;
  switch (command->ioctl_code) {
    case USBDEVFS_DISCONNECT:
      return bindings()->unbind(interface) ? 0 : -ENODATA;
    case USBDEVFS_CONNECT:
      // The kernel probes its drivers: 1 when one took the interface.
      switch (bindings()->probe(interface)) {
        case Bindings::Probe::Bound:
          return 1;
        case Bindings::Probe::Busy:
          return -EBUSY;
        case Bindings::Probe::NoDriver:
          return 0;
      }
      return 0;
    default:
      journal().fail(fmt::format("{}: the model does not serve USBDEVFS_IOCTL code {:#x}",
                                 devnode(), command->ioctl_code));
      return -ENOTTY;
  }
}

int UsbfsNode::reset() {
  const int result = model()->usb_reset();
  if (result == LIBUSB_ERROR_NOT_FOUND || result == LIBUSB_ERROR_NO_DEVICE) {
    // The device came back under another identity: the kernel has to enumerate it anew, and
    // this node's device is gone at once.
    leave();
    return -ENODEV;
  }
  if (result < 0) return -EIO;
  // Drivers without reset hooks, usbfs among them, lose their interfaces; the kernel probes
  // its drivers again for the interfaces nobody holds.
  if (Bindings* b = bindings()) b->reset();
  return 0;
}

int UsbfsNode::submit(File& file, UMockdevIoctlData* arg) {
  Urb urb{resolve(arg, 0, sizeof(usbdevfs_urb))};
  if (!urb.data) return -EFAULT;
  const int length = urb.get()->buffer_length;
  if (length < 0) return -EINVAL;
  if (length > 0 &&
      !resolve(urb.data.get(), offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(length))) {
    return -EFAULT;
  }
  urb.get()->status = 0;
  urb.get()->actual_length = 0;
  switch (urb.get()->type) {
    case USBDEVFS_URB_TYPE_CONTROL:
      return submit_control(file, std::move(urb));
    case USBDEVFS_URB_TYPE_INTERRUPT:
      return submit_interrupt(file, std::move(urb));
    default:
      journal().fail(fmt::format("{}: the model does not serve USBDEVFS_SUBMITURB of URB type {}",
                                 devnode(), urb.get()->type));
      return -EINVAL;
  }
}

int UsbfsNode::check_recipient(File& file, const ControlSetup& setup) {
  if ((setup.request_type & kRequestTypeMask) == LIBUSB_REQUEST_TYPE_VENDOR) return 0;
  // A request to an interface, or to an endpoint other than 0, needs the interface claimed;
  // the kernel claims an unclaimed one itself.
  switch (setup.request_type & 0x1F) {
    case LIBUSB_RECIPIENT_INTERFACE:
      return claim(file, setup.index & 0xFF);
    case LIBUSB_RECIPIENT_ENDPOINT: {
      const unsigned endpoint = setup.index & 0xFF;
      if ((endpoint & ~LIBUSB_ENDPOINT_IN) == 0) return 0;
      int interface = interface_of_endpoint(endpoint);
      // Some hosts give the endpoint's number without its direction; the kernel lets that
      // through to the device.
      if (interface < 0) interface = interface_of_endpoint(endpoint ^ LIBUSB_ENDPOINT_IN);
      return interface < 0 ? interface : claim(file, static_cast<unsigned>(interface));
    }
    default:
      return 0;
  }
}

int UsbfsNode::control(File& file, UMockdevIoctlData* arg) {
  auto data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
  if (!data) return -EFAULT;
  const auto* c = reinterpret_cast<const usbdevfs_ctrltransfer*>(data->data);
  const ControlSetup setup{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
  if (int r = check_recipient(file, setup); r < 0) return r;
  Ref<UMockdevIoctlData> buffer;
  if (setup.length > 0) {
    buffer = resolve(data.get(), offsetof(usbdevfs_ctrltransfer, data), setup.length);
    if (!buffer) return -EFAULT;
  }
  journal().trace(fmt::format("{} CONTROL {:02x} {:02x} {:04x} {:04x} len={}", devnode(),
                              setup.request_type, setup.request, setup.value, setup.index,
                              setup.length));
  std::span<std::uint8_t> bytes;
  if (buffer) bytes = {buffer->data, setup.length};
  auto device = model();
  const int result = (setup.request_type & LIBUSB_ENDPOINT_IN) != 0
                         ? device->control_in(setup, bytes)
                         : device->control_out(setup, bytes);
  // The kernel waits here until the device answers or the host's timeout passes; the model
  // answers at once, and a device that stays silent would need the wait modelled.
  if (result == LIBUSB_ERROR_TIMEOUT)
    journal().fail(devnode() + ": a USBDEVFS_CONTROL request the device does not answer");
  return result < 0 ? sync_status(result) : std::min<int>(result, setup.length);
}

int UsbfsNode::interface_of_endpoint(unsigned endpoint) const {
  if ((endpoint & ~(LIBUSB_ENDPOINT_IN | 0x0Fu)) != 0) return -EINVAL;
  for (int interface : bindings()->interfaces()) {
    if (endpoints_of(interface).contains(static_cast<std::uint8_t>(endpoint))) return interface;
  }
  return -ENOENT;
}

int UsbfsNode::submit_control(File& file, Urb urb) {
  const int length = urb.get()->buffer_length;
  if (length < static_cast<int>(kSetupSize)) return -EINVAL;
  const std::uint8_t* setup_bytes = urb.buffer();
  const ControlSetup setup{setup_bytes[0], setup_bytes[1], le16(setup_bytes + 2),
                           le16(setup_bytes + 4), le16(setup_bytes + 6)};
  if (setup.length > length - static_cast<int>(kSetupSize)) return -EINVAL;
  if (int r = check_recipient(file, setup); r < 0) return r;
  const bool in = (setup.request_type & LIBUSB_ENDPOINT_IN) != 0;
  journal().trace(fmt::format("{} SUBMITURB control {:02x} {:02x} {:04x} {:04x} len={}", devnode(),
                              setup.request_type, setup.request, setup.value, setup.index,
                              setup.length));
  auto device = model();
  file.in_flight.push_back(std::move(urb));
  auto it = std::prev(file.in_flight.end());
  const RequestKey key{.kind = in ? RequestKind::ControlIn : RequestKind::ControlOut,
                       .device = device.get(),
                       .request = setup.request};
  // A pulled cable ends the URB when the device goes.
  if (fault_fired(key)) return 0;
  std::span<std::uint8_t> data(it->buffer() + kSetupSize, setup.length);
  const int result = in ? device->control_in(setup, data) : device->control_out(setup, data);
  // A device that never answers leaves the URB in flight until the host gives up on it.
  if (result == LIBUSB_ERROR_TIMEOUT) return 0;
  if (result < 0) {
    complete(file, it, urb_status(result), 0);
  } else {
    complete(file, it, 0, std::min<int>(result, setup.length));
  }
  return 0;
}

int UsbfsNode::submit_interrupt(File& file, Urb urb) {
  const Attachment* a = bus().attachment(attachment());
  const std::uint8_t endpoint = urb.get()->endpoint;
  // The interface whose setting has that endpoint, as the kernel finds it.
  std::optional<int> owner;
  if (auto parsed = usb::parse_config(a->config)) {
    for (const auto& interface : usb_interfaces(parsed->config)) {
      for (const auto& setting : std::span(interface.altsetting, interface.num_altsetting)) {
        for (const auto& e : std::span(setting.endpoint, setting.bNumEndpoints)) {
          if (e.bEndpointAddress == endpoint &&
              (e.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_INTERRUPT)
            owner = setting.bInterfaceNumber;
        }
      }
    }
  }
  if (!owner) return -ENOENT;
  if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
    journal().fail(fmt::format("{}: the model does not serve interrupt OUT URBs", devnode()));
    return -EINVAL;
  }
  if (int r = claim(file, static_cast<unsigned>(*owner)); r < 0) return r;
  journal().trace(fmt::format("{} SUBMITURB interrupt {:02x} len={}", devnode(), endpoint,
                              urb.get()->buffer_length));
  auto device = model();
  file.in_flight.push_back(std::move(urb));
  const RequestKey key{
      .kind = RequestKind::InterruptIn, .device = device.get(), .endpoint = endpoint};
  fault_fired(key);
  return 0;
}

int UsbfsNode::discard(File& file, unsigned long address) {
  auto it = std::find_if(file.in_flight.begin(), file.in_flight.end(),
                         [&](const Urb& u) { return u.data->client_addr == address; });
  if (it == file.in_flight.end()) return -EINVAL;  // already completed: the host reaps it
  complete(file, it, -ENOENT, it->get()->actual_length);
  return 0;
}

void UsbfsNode::complete(File& file, std::deque<Urb>::iterator urb, int status, int actual_length) {
  urb->get()->status = status;
  urb->get()->actual_length = actual_length;
  journal().trace(fmt::format("{} URB {:02x} ends: status {} actual_length {}", devnode(),
                              urb->get()->endpoint, result_text(status), actual_length));
  file.done.push_back(std::move(*urb));
  file.in_flight.erase(urb);
}

bool UsbfsNode::reap(File& file, UMockdevIoctlClient* client, bool wait) {
  if (file.reap) {
    unserved(client, "a second reap while one waits");
    return true;
  }
  auto pointer = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
  if (!pointer) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return true;
  }
  file.reap = Reap{Ref<UMockdevIoctlClient>::share(client), std::move(pointer), wait};
  deliver(file);
  return true;
}

bool UsbfsNode::deliver(File& file) {
  if (!file.reap) return false;
  Reap& r = *file.reap;
  if (!file.done.empty()) {
    Urb urb = std::move(file.done.front());
    file.done.pop_front();
    umockdev_ioctl_data_set_ptr(r.pointer.get(), 0, urb.data.get());
    umockdev_ioctl_client_complete(r.client.get(), 0, 0);
  } else if (gone_) {
    umockdev_ioctl_client_complete(r.client.get(), -1, ENODEV);
  } else {
    return false;
  }
  file.reap.reset();
  return true;
}

void UsbfsNode::leave() {
  gone_ = true;
  for (auto& [client, f] : files_) {
    while (!f.in_flight.empty()) complete(f, f.in_flight.begin(), -ESHUTDOWN, 0);
  }
}

void UsbfsNode::service() {
  if (!gone_ && !model()) leave();
  if (!gone_) {
    auto device = model();
    for (auto& [client, f] : files_) poll_interrupt_endpoints(*device, f);
  }
  for (auto& [client, f] : files_) {
    if (f.reap && (f.reap->wait || !f.done.empty() || gone_)) deliver(f);
  }
}

void UsbfsNode::poll_interrupt_endpoints(Device& device, File& file) {
  // The host controller polls each endpoint for the oldest URB queued on it, again after each
  // packet (completing a URB reorders the queue, so the walk starts over).
  for (bool moved = true; moved;) {
    moved = false;
    std::set<std::uint8_t> polled;
    for (auto it = file.in_flight.begin(); it != file.in_flight.end(); ++it) {
      const std::uint8_t endpoint = it->get()->endpoint;
      if (it->get()->type != USBDEVFS_URB_TYPE_INTERRUPT || !polled.insert(endpoint).second)
        continue;
      auto packet = device.interrupt_in(endpoint);
      if (!packet) continue;
      const int room = it->get()->buffer_length;
      const int n = std::min(static_cast<int>(packet->size()), room);
      std::copy_n(packet->begin(), n, it->buffer());
      complete(file, it, static_cast<int>(packet->size()) > room ? -EOVERFLOW : 0, n);
      moved = true;
      break;
    }
  }
}

void UsbfsNode::on_tick() {
  service();
  for (auto& [client, f] : files_) {
    if (f.reap && !f.reap->wait) {
      umockdev_ioctl_client_complete(f.reap->client.get(), -1, EAGAIN);
      f.reap.reset();
    }
  }
}

}  // namespace sim::kernel
