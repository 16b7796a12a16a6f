// The libusb-1.0 functions the library imports, with libusb's semantics and return codes,
// answered by the models on the virtual bus.
#include <fmt/format.h>
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "sim/bus.h"
#include "sim/front_end.h"
#include "sim/usb/config_parser.h"
#include "sim/usb/objects.h"

namespace sim::usb {

namespace {

void drop_reference(libusb_device* dev);

// Process-wide like libusb's own bookkeeping: these outlive sim::reset(), because the code
// under test may hold the objects across test cases.
struct State {
  State() {
    // The front end's own reference to a device goes when the device leaves the bus.
    bus().on_unplug([this](std::uint64_t id) {
      if (auto node = plugged.extract(id)) drop_reference(node.mapped());
    });
  }
  // The device object of each plugged-in attachment, made when it is first listed.
  std::map<std::uint64_t, libusb_device*> plugged;
  std::set<libusb_context*> contexts;
  libusb_context default_context{};
  int default_refs = 0;
  std::set<libusb_device*> devices;
  std::set<libusb_device**> lists;
  std::set<libusb_device_handle*> handles;
  std::map<const libusb_config_descriptor*, std::unique_ptr<ParsedConfig>> configs;
};

State& state() {
  static State* s = new State;
  return *s;
}

bool live(libusb_device* dev, const char* where) {
  if (dev != nullptr && state().devices.contains(dev)) return true;
  bus().note_misuse(fmt::format("{} on a device that is not (or no longer) valid", where));
  return false;
}

bool live(libusb_device_handle* h, const char* where) {
  if (h != nullptr && state().handles.contains(h)) return true;
  bus().note_misuse(fmt::format("{} on a handle that is not (or no longer) open", where));
  return false;
}

std::shared_ptr<Device> model_of(const libusb_device* dev) {
  return bus().model(dev->attachment);
}

libusb_device* device_of(const Attachment& a) {
  auto [it, made] = state().plugged.try_emplace(a.id);
  if (made) {
    it->second =
        new libusb_device{a.id, a.bus_number, a.port, a.address, a.descriptor, a.config, 1};
    state().devices.insert(it->second);
  }
  return it->second;
}

// Drops one reference that the front end or a handle held (not counted as the caller's).
void drop_reference(libusb_device* dev) {
  if (dev == nullptr) return;
  if (--dev->refs == 0) {
    state().devices.erase(dev);
    delete dev;
  }
}

Nanos wait_limit(unsigned int timeout_ms) {
  return timeout_ms == 0 ? kUnboundedWaitCap : Nanos(std::chrono::milliseconds(timeout_ms));
}

// libusb's return code for a transfer that a fault ended before any data moved; a timeout first
// lets the whole timeout pass.
int ended_at_once(const Action& fault, unsigned int timeout_ms) {
  if (fault.type == Action::Type::Timeout) bus().advance(wait_limit(timeout_ms));
  return fault.libusb_code();
}

// libusb's return code for a transfer whose data has moved: `result` unless the fault ends it
// otherwise; a timeout lets the time up to the transfer's deadline pass.
int ended_after(TransferCut::End end, int result, Nanos deadline) {
  switch (end) {
    case TransferCut::End::Normally:
      break;
    case TransferCut::End::Interrupted:
      return LIBUSB_ERROR_INTERRUPTED;
    case TransferCut::End::TimedOut:
      bus().advance(std::max(deadline - bus().now(), Nanos::zero()));
      return LIBUSB_ERROR_TIMEOUT;
  }
  return result;
}

void drop_user_reference(libusb_device* dev) {
  if (dev->user_refs == 0) {
    bus().note_misuse("libusb_unref_device: more unreferences than references");
    return;
  }
  dev->user_refs--;
  bus().counters().device_refs--;
  drop_reference(dev);
}

}  // namespace

bool valid(libusb_device* dev) {
  return dev != nullptr && state().devices.contains(dev);
}

bool valid(libusb_device_handle* h) {
  return h != nullptr && state().handles.contains(h);
}

}  // namespace sim::usb

using namespace sim;
using namespace sim::usb;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::UsbInit;
  if (auto fault = bus().fault_for({.kind = RequestKind::UsbInit}))
    return finish(r, fault->libusb_code(), true);
  if (ctx != nullptr) {
    *ctx = new libusb_context{0x5ca1};
    state().contexts.insert(*ctx);
  } else {
    state().default_refs++;
  }
  bus().counters().usb_contexts++;
  return finish(r, LIBUSB_SUCCESS);
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::UsbExit;
  if (ctx == nullptr) {
    if (state().default_refs == 0) {
      bus().note_misuse("libusb_exit(NULL) without libusb_init(NULL)");
      return;
    }
    state().default_refs--;
  } else {
    if (!state().contexts.erase(ctx)) {
      bus().note_misuse("libusb_exit on a context that is not (or no longer) valid");
      return;
    }
    delete ctx;
  }
  bus().counters().usb_contexts--;
  finish(r, 0);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*ctx*/, libusb_device*** list) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::GetDeviceList;
  if (auto fault = bus().fault_for({.kind = RequestKind::GetDeviceList})) {
    return finish(r, fault->libusb_code(), true);
  }
  const auto& attached = bus().attachments();
  auto** out = new libusb_device*[attached.size() + 1];
  std::size_t n = 0;
  for (const auto& a : attached) {
    libusb_device* dev = device_of(a);
    dev->refs++;
    dev->user_refs++;
    out[n++] = dev;
  }
  out[n] = nullptr;
  state().lists.insert(out);
  bus().counters().device_lists++;
  bus().counters().device_refs += static_cast<int>(n);
  *list = out;
  return finish(r, static_cast<int>(n));
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  auto guard = bus().lock();
  if (list == nullptr) return;
  if (!state().lists.erase(list)) {
    bus().note_misuse("libusb_free_device_list on a list that is not (or no longer) valid");
    return;
  }
  if (unref_devices) {
    for (auto** d = list; *d != nullptr; ++d) {
      if (live(*d, "libusb_free_device_list")) drop_user_reference(*d);
    }
  }
  delete[] list;
  bus().counters().device_lists--;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  auto guard = bus().lock();
  if (!live(dev, "libusb_ref_device")) return dev;
  dev->refs++;
  dev->user_refs++;
  bus().counters().device_refs++;
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  auto guard = bus().lock();
  if (dev == nullptr) return;
  if (live(dev, "libusb_unref_device")) drop_user_reference(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  auto guard = bus().lock();
  if (!live(dev, "libusb_get_device_descriptor")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(dev);
  auto r = request(RequestKind::DeviceDescriptor, dev, model.get());
  if (auto fault =
          bus().fault_for({.kind = RequestKind::DeviceDescriptor, .device = model.get()})) {
    return finish(r, fault->libusb_code(), true);
  }
  *desc = dev->descriptor;
  return finish(r, LIBUSB_SUCCESS);
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             libusb_config_descriptor** config) {
  auto guard = bus().lock();
  if (!live(dev, "libusb_get_config_descriptor")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(dev);
  auto r = request(RequestKind::ConfigDescriptor, dev, model.get());
  if (auto fault =
          bus().fault_for({.kind = RequestKind::ConfigDescriptor, .device = model.get()})) {
    return finish(r, fault->libusb_code(), true);
  }
  if (config_index >= dev->descriptor.bNumConfigurations) return finish(r, LIBUSB_ERROR_NOT_FOUND);
  auto parsed = parse_config(dev->config);
  if (!parsed) return finish(r, LIBUSB_ERROR_IO);
  *config = &parsed->config;
  state().configs.emplace(&parsed->config, std::move(parsed));
  bus().counters().config_descriptors++;
  return finish(r, LIBUSB_SUCCESS);
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
  auto guard = bus().lock();
  if (config == nullptr) return;
  if (!state().configs.erase(config)) {
    bus().note_misuse(
        "libusb_free_config_descriptor on a descriptor that is not (or no longer) valid");
    return;
  }
  bus().counters().config_descriptors--;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
  auto guard = bus().lock();
  if (!live(dev, "libusb_open")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(dev);
  auto r = request(RequestKind::Open, dev, model.get());
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);
  if (auto fault = bus().fault_for({.kind = RequestKind::Open, .device = model.get()})) {
    return finish(r, fault->libusb_code(), true);
  }
  auto* h = new libusb_device_handle{dev, {}};
  dev->refs++;
  state().handles.insert(h);
  bus().counters().usb_handles++;
  *dev_handle = h;
  return finish(r, LIBUSB_SUCCESS);
}

void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
  auto guard = bus().lock();
  if (h == nullptr) return;
  if (!live(h, "libusb_close")) return;
  auto model = model_of(h->device);
  auto r = request(RequestKind::Close, h->device, model.get());
  // Interfaces still claimed are given back by the operating system; the device sees nothing.
  if (auto* bindings = bus().bindings(h->device->attachment)) bindings->release_all(h);
  state().handles.erase(h);
  drop_reference(h->device);
  delete h;
  bus().counters().usb_handles--;
  finish(r, 0);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int interface_number) {
  auto guard = bus().lock();
  if (!live(h, "libusb_claim_interface")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(h->device);
  auto r = request(RequestKind::Claim, h->device, model.get());
  r.interface = interface_number;
  if (interface_number < 0 || interface_number >= kMaxInterfaces)
    return finish(r, LIBUSB_ERROR_INVALID_PARAM);
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);
  if (auto fault = bus().fault_for({.kind = RequestKind::Claim, .device = model.get()})) {
    return finish(r, fault->libusb_code(), true);
  }
  const std::uint64_t id = h->device->attachment;
  Bindings& bindings = *bus().bindings(id);
  if (!bindings.has(interface_number)) return finish(r, LIBUSB_ERROR_NOT_FOUND);
  if (h->claimed.test(static_cast<std::size_t>(interface_number))) return finish(r, LIBUSB_SUCCESS);
  switch (bindings.claimable(interface_number, h)) {
    case Bindings::Claim::Taken:
      break;
    case Bindings::Claim::HeldByOther:
      return finish(r, LIBUSB_ERROR_BUSY);
    case Bindings::Claim::HeldByDriver:
      // A kernel driver holds the interface until it is detached, as Linux's usbfs does.
      if (!h->auto_detach) return finish(r, LIBUSB_ERROR_BUSY);
      bindings.unbind(interface_number);
      break;
  }
  const int result = model->claim_interface(interface_number);
  if (result == LIBUSB_SUCCESS) {
    h->claimed.set(static_cast<std::size_t>(interface_number));
    if (Bindings* now = bus().bindings(id)) now->claim(interface_number, h);
  }
  return finish(r, result);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int interface_number) {
  auto guard = bus().lock();
  if (!live(h, "libusb_release_interface")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(h->device);
  auto r = request(RequestKind::Release, h->device, model.get());
  r.interface = interface_number;
  if (interface_number < 0 || interface_number >= kMaxInterfaces)
    return finish(r, LIBUSB_ERROR_INVALID_PARAM);
  if (!h->claimed.test(static_cast<std::size_t>(interface_number)))
    return finish(r, LIBUSB_ERROR_NOT_FOUND);
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);
  const int result = model->release_interface(interface_number);
  if (result == LIBUSB_SUCCESS) {
    h->claimed.reset(static_cast<std::size_t>(interface_number));
    if (Bindings* bindings = bus().bindings(h->device->attachment)) {
      bindings->release(interface_number, h);
      // The kernel binds its driver again, if one matches.
      if (h->auto_detach) bindings->probe(interface_number);
    }
  }
  return finish(r, result);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* h, int enable) {
  auto guard = bus().lock();
  if (!live(h, "libusb_set_auto_detach_kernel_driver")) return LIBUSB_ERROR_INVALID_PARAM;
  h->auto_detach = enable != 0;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h) {
  auto guard = bus().lock();
  if (!live(h, "libusb_reset_device")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(h->device);
  auto r = request(RequestKind::Reset, h->device, model.get());
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);
  if (auto fault = bus().fault_for({.kind = RequestKind::Reset, .device = model.get()})) {
    return finish(r, fault->libusb_code(), true);
  }
  return finish(r, model->usb_reset());
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
  auto guard = bus().lock();
  if (!live(h, "libusb_control_transfer")) return LIBUSB_ERROR_INVALID_PARAM;
  const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
  const ControlSetup setup{request_type, bRequest, wValue, wIndex, wLength};
  auto model = model_of(h->device);
  auto r = request(in ? RequestKind::ControlIn : RequestKind::ControlOut, h->device, model.get());
  r.setup = setup;
  r.timeout_ms = static_cast<int>(timeout);
  if (!in) r.data.assign(data, data + (data ? wLength : 0));
  if (data == nullptr && wLength > 0) {
    bus().note_misuse("libusb_control_transfer: no buffer for wLength bytes");
    return finish(r, LIBUSB_ERROR_INVALID_PARAM);
  }
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);

  const Nanos deadline = bus().now() + wait_limit(timeout);
  auto fault = bus().fault_for({.kind = r.kind, .device = model.get(), .request = bRequest});
  const TransferCut cut = cut_transfer(fault, wLength);
  if (cut.at_once) return finish(r, ended_at_once(*fault, timeout), true);
  const int limit = static_cast<int>(cut.limit);

  int result;
  if (in) {
    // The model answers into a buffer of its own, so that a short transfer leaves the
    // caller's bytes beyond the cut untouched, as on the wire.
    Bytes answer(wLength);
    result = model->control_in(setup, answer);
    if (result > wLength) {
      bus().note_misuse(
          fmt::format("model answered {} bytes to a control read of {}", result, wLength));
      result = wLength;
    }
    if (result >= 0) {
      result = std::min(result, limit);
      std::copy_n(answer.begin(), result, data);
      r.data.assign(answer.begin(), answer.begin() + result);
    }
  } else {
    result = model->control_out(
        setup, std::span<const std::uint8_t>(data, static_cast<std::size_t>(limit)));
    if (result >= 0) result = std::min(result, limit);
  }
  if (result == LIBUSB_ERROR_TIMEOUT) bus().advance(wait_limit(timeout));
  if (result >= 0) result = ended_after(cut.end, result, deadline);
  return finish(r, result, fault.has_value());
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* h, unsigned char endpoint,
                                          unsigned char* data, int length, int* actual_length,
                                          unsigned int timeout) {
  auto guard = bus().lock();
  int transferred = 0;
  if (actual_length != nullptr) *actual_length = 0;
  if (!live(h, "libusb_interrupt_transfer")) return LIBUSB_ERROR_INVALID_PARAM;
  auto model = model_of(h->device);
  auto r = request(RequestKind::InterruptIn, h->device, model.get());
  r.endpoint = endpoint;
  r.timeout_ms = static_cast<int>(timeout);
  if ((data == nullptr && length > 0) || length < 0) {
    bus().note_misuse("libusb_interrupt_transfer: no buffer or a negative length");
    return finish(r, LIBUSB_ERROR_INVALID_PARAM);
  }
  if (!model) return finish(r, LIBUSB_ERROR_NO_DEVICE);
  // Only interrupt reads are modelled; the library never writes to an interrupt endpoint.
  if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) return finish(r, LIBUSB_ERROR_NOT_SUPPORTED);
  if (!endpoint_addresses(h->device->config).contains(endpoint)) return finish(r, LIBUSB_ERROR_IO);

  const Nanos deadline = bus().now() + wait_limit(timeout);
  auto fault = bus().fault_for(
      {.kind = RequestKind::InterruptIn, .device = model.get(), .endpoint = endpoint});
  const TransferCut cut = cut_transfer(fault, static_cast<std::size_t>(length));
  // Ended before anything arrived: a pending packet stays for the next read.
  if (cut.at_once) return finish(r, ended_at_once(*fault, timeout), true);

  std::optional<Bytes> packet;
  const Waited waited = bus().wait_for(h->device->attachment, wait_limit(timeout), [&] {
    packet = model->interrupt_in(endpoint);
    return packet.has_value();
  });
  r.transferred = 0;
  if (waited == Waited::Unplugged) return finish(r, LIBUSB_ERROR_NO_DEVICE, fault.has_value());
  if (!packet) {
    // Nothing arrived: a fault that ends the transfer still decides how it ends.
    const bool interrupted = cut.end == TransferCut::End::Interrupted;
    return finish(r, interrupted ? LIBUSB_ERROR_INTERRUPTED : LIBUSB_ERROR_TIMEOUT,
                  fault.has_value());
  }

  transferred = std::min(static_cast<int>(packet->size()), static_cast<int>(cut.limit));
  int result = LIBUSB_SUCCESS;
  if (!fault && static_cast<int>(packet->size()) > length) result = LIBUSB_ERROR_OVERFLOW;
  std::copy_n(packet->begin(), transferred, data);
  if (result == LIBUSB_SUCCESS) result = ended_after(cut.end, result, deadline);
  if (actual_length != nullptr) *actual_length = transferred;
  r.transferred = transferred;
  r.data.assign(packet->begin(), packet->begin() + transferred);
  return finish(r, result, fault.has_value());
}

}  // extern "C"
