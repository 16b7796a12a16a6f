// The hidapi functions, answered by the HID functions of the models on the virtual bus. Byte
// counts follow hidapi: writes count the report-ID byte, reads return 0 when nothing arrived in
// time, and feature reads count the report-ID byte as the Windows back end does.
#include <fmt/format.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <set>
#include <string>

#include "sim/bus.h"
#include "sim/front_end.h"

struct hid_device_ {
  std::uint64_t attachment = 0;
  bool nonblocking = false;
  std::wstring error;
};

namespace sim::hid {

namespace {

struct State {
  std::set<hid_device*> handles;
  std::set<hid_device_info*> enumerations;
  std::wstring global_error;
};

State& state() {
  static State* s = new State;
  return *s;
}

bool live(hid_device* dev, const char* where) {
  if (dev != nullptr && state().handles.contains(dev)) return true;
  bus().note_misuse(fmt::format("{} on a HID device that is not (or no longer) open", where));
  return false;
}

std::shared_ptr<Device> model_of(const hid_device* dev) {
  return bus().model(dev->attachment);
}

// The path hid_enumerate gives a plugged-in HID function and hid_open_path takes.
std::string path_of(const Attachment& a) {
  return fmt::format("sim:hid:{}-{}#{}", a.bus_number, a.address, a.id);
}

int fail(hid_device* dev, Request r, const wchar_t* why, bool faulted = false) {
  dev->error = why;
  return finish(std::move(r), -1, faulted);
}

wchar_t* copy_wide(const std::wstring& s) {
  auto* out = new wchar_t[s.size() + 1];
  std::copy(s.begin(), s.end(), out);
  out[s.size()] = L'\0';
  return out;
}

hid_device* open_attachment(const Attachment* a, Request& r) {
  if (a == nullptr) {
    state().global_error = L"Device not found";
    finish(r, -1);
    return nullptr;
  }
  r.device = a->device.get();
  r.attachment = a->id;
  if (bus().fault_for({.kind = RequestKind::HidOpen, .device = a->device.get()})) {
    state().global_error = L"Failed to open device (injected fault)";
    finish(r, -1, true);
    return nullptr;
  }
  auto* dev = new hid_device{a->id, false, {}};
  state().handles.insert(dev);
  bus().counters().hid_handles++;
  finish(r, 0);
  return dev;
}

// Reports arriving while the caller waits: up to `limit` of virtual time, running events.
int read_report(hid_device* dev, unsigned char* data, std::size_t length, int milliseconds) {
  auto model = model_of(dev);
  auto r = request(RequestKind::HidRead, dev, model.get());
  r.timeout_ms = milliseconds;
  if (data == nullptr && length > 0) {
    bus().note_misuse("hid_read: no buffer");
    return fail(dev, r, L"Invalid buffer");
  }
  if (!model) return fail(dev, r, L"Device disconnected");
  const Nanos limit =
      milliseconds < 0 ? kUnboundedWaitCap : Nanos(std::chrono::milliseconds(milliseconds));

  const Nanos deadline = bus().now() + limit;
  auto fault = bus().fault_for({.kind = RequestKind::HidRead, .device = model.get()});
  const TransferCut cut = cut_transfer(fault, length);
  if (cut.at_once) {
    if (fault->type != Action::Type::Timeout)
      return fail(dev, r, L"Read error (injected fault)", true);
    bus().advance(limit);
    return finish(r, 0, true);
  }

  std::optional<Bytes> report;
  const Waited waited = bus().wait_for(dev->attachment, limit, [&] {
    report = model->hid_read();
    return report.has_value();
  });
  if (waited == Waited::Unplugged) return fail(dev, r, L"Device disconnected", fault.has_value());
  if (!report) {
    // A blocking read would wait for ever; after the cap it is reported as a failure.
    if (milliseconds < 0) return fail(dev, r, L"No input report (virtual device gave up waiting)");
    return finish(r, 0, fault.has_value());
  }
  const std::size_t n = std::min(cut.limit, report->size());
  if (cut.end == TransferCut::End::TimedOut)
    bus().advance(std::max(deadline - bus().now(), Nanos::zero()));
  std::copy_n(report->begin(), n, data);
  r.data.assign(report->begin(), report->begin() + static_cast<std::ptrdiff_t>(n));
  return finish(r, static_cast<int>(n), fault.has_value());
}

using Sender = int (Device::*)(std::span<const std::uint8_t>);
using Getter = int (Device::*)(std::span<std::uint8_t>);

int send_report(hid_device* dev, RequestKind kind, Sender send, const unsigned char* data,
                std::size_t length) {
  auto model = model_of(dev);
  auto r = request(kind, dev, model.get());
  if (data == nullptr || length == 0) {
    bus().note_misuse(fmt::format("{}: no report", to_string(kind)));
    return fail(dev, r, L"Invalid report");
  }
  r.data.assign(data, data + length);
  if (!model) return fail(dev, r, L"Device disconnected");
  auto fault = bus().fault_for({.kind = kind, .device = model.get(), .report_id = data[0]});
  const TransferCut cut = cut_transfer(fault, length);
  if (cut.at_once) return fail(dev, r, L"Write error (injected fault)", true);
  const int result = ((*model).*send)(std::span(data, cut.limit));
  if (result < 0) return fail(dev, r, L"Write error", fault.has_value());
  return finish(r, std::min(result, static_cast<int>(cut.limit)), fault.has_value());
}

int get_report(hid_device* dev, RequestKind kind, Getter get, unsigned char* data,
               std::size_t length) {
  auto model = model_of(dev);
  auto r = request(kind, dev, model.get());
  if (data == nullptr || length == 0) {
    bus().note_misuse(fmt::format("{}: no buffer for the report ID", to_string(kind)));
    return fail(dev, r, L"Invalid buffer");
  }
  if (!model) return fail(dev, r, L"Device disconnected");
  auto fault = bus().fault_for({.kind = kind, .device = model.get(), .report_id = data[0]});
  const TransferCut cut = cut_transfer(fault, length);
  if (cut.at_once) {
    r.data.assign(data, data + 1);
    return fail(dev, r, L"Read error (injected fault)", true);
  }
  // The model fills a buffer of its own, so that a cut report leaves the caller's bytes
  // beyond the cut as they were.
  Bytes buffer(data, data + length);
  int result = ((*model).*get)(buffer);
  if (result > static_cast<int>(length)) {
    bus().note_misuse(
        fmt::format("model returned {} bytes for a report buffer of {}", result, length));
    result = static_cast<int>(length);
  }
  if (result < 0) {
    r.data.assign(data, data + 1);
    return fail(dev, r, L"Read error", fault.has_value());
  }
  result = std::min(result, static_cast<int>(cut.limit));
  std::copy_n(buffer.begin(), result, data);
  r.data.assign(buffer.begin(), buffer.begin() + result);
  return finish(r, result, fault.has_value());
}

int get_string(hid_device* dev, std::wstring HidInfo::*field, wchar_t* string, std::size_t maxlen) {
  if (!live(dev, "hid_get_*_string")) return -1;
  const Attachment* a = bus().attachment(dev->attachment);
  if (a == nullptr) {
    dev->error = L"Device disconnected";
    return -1;
  }
  if (string == nullptr || maxlen == 0) return -1;
  const std::wstring& s = a->hid_info.*field;
  const std::size_t n = std::min(s.size(), maxlen - 1);
  std::copy_n(s.begin(), n, string);
  string[n] = L'\0';
  return 0;
}

}  // namespace

}  // namespace sim::hid

using namespace sim;
using namespace sim::hid;

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::HidInit;
  if (bus().fault_for({.kind = RequestKind::HidInit})) {
    state().global_error = L"hid_init failed (injected fault)";
    return finish(r, -1, true);
  }
  return finish(r, 0);
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::HidExit;
  return finish(r, 0);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::HidEnumerate;
  if (bus().fault_for({.kind = RequestKind::HidEnumerate})) {
    state().global_error = L"Enumeration failed (injected fault)";
    finish(r, -1, true);
    return nullptr;
  }
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  int count = 0;
  for (const auto& a : bus().attachments()) {
    if (!a.hid) continue;
    if (vendor_id != 0 && a.descriptor.idVendor != vendor_id) continue;
    if (product_id != 0 && a.descriptor.idProduct != product_id) continue;
    auto* info = new hid_device_info{};
    const std::string path = path_of(a);
    info->path = new char[path.size() + 1];
    std::memcpy(info->path, path.c_str(), path.size() + 1);
    info->vendor_id = a.descriptor.idVendor;
    info->product_id = a.descriptor.idProduct;
    info->serial_number = copy_wide(a.hid_info.serial_number);
    info->release_number = a.descriptor.bcdDevice;
    info->manufacturer_string = copy_wide(a.hid_info.manufacturer);
    info->product_string = copy_wide(a.hid_info.product);
    info->usage_page = a.hid_info.usage_page;
    info->usage = a.hid_info.usage;
    info->interface_number = a.hid_info.interface_number;
    info->bus_type = HID_API_BUS_USB;
    *tail = info;
    tail = &info->next;
    ++count;
  }
  if (head != nullptr) {
    state().enumerations.insert(head);
    bus().counters().hid_enumerations++;
  }
  finish(r, count);
  return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  auto guard = bus().lock();
  if (devs == nullptr) return;
  if (!state().enumerations.erase(devs)) {
    bus().note_misuse("hid_free_enumeration on a list that is not (or no longer) valid");
    return;
  }
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    delete[] devs->path;
    delete[] devs->serial_number;
    delete[] devs->manufacturer_string;
    delete[] devs->product_string;
    delete devs;
    devs = next;
  }
  bus().counters().hid_enumerations--;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* serial_number) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::HidOpen;
  const Attachment* found = nullptr;
  for (const auto& a : bus().attachments()) {
    if (!a.hid || a.descriptor.idVendor != vendor_id || a.descriptor.idProduct != product_id)
      continue;
    if (serial_number != nullptr && a.hid_info.serial_number != serial_number) continue;
    found = &a;
    break;
  }
  return open_attachment(found, r);
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
  auto guard = bus().lock();
  Request r;
  r.kind = RequestKind::HidOpen;
  const Attachment* found = nullptr;
  for (const auto& a : bus().attachments()) {
    if (a.hid && path != nullptr && path_of(a) == path) found = &a;
  }
  return open_attachment(found, r);
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
  auto guard = bus().lock();
  if (dev == nullptr || !live(dev, "hid_close")) return;
  auto model = model_of(dev);
  auto r = request(RequestKind::HidClose, dev, model.get());
  state().handles.erase(dev);
  delete dev;
  bus().counters().hid_handles--;
  finish(r, 0);
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
  auto guard = bus().lock();
  if (!live(dev, "hid_write")) return -1;
  return send_report(dev, RequestKind::HidWrite, &Device::hid_write, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
  auto guard = bus().lock();
  if (!live(dev, "hid_read_timeout")) return -1;
  return read_report(dev, data, length, milliseconds);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
  auto guard = bus().lock();
  if (!live(dev, "hid_read")) return -1;
  return read_report(dev, data, length, dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
  auto guard = bus().lock();
  if (!live(dev, "hid_set_nonblocking")) return -1;
  dev->nonblocking = nonblock != 0;
  return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* dev, const unsigned char* data,
                                                        size_t length) {
  auto guard = bus().lock();
  if (!live(dev, "hid_send_feature_report")) return -1;
  return send_report(dev, RequestKind::HidSendFeature, &Device::hid_send_feature, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* dev, unsigned char* data,
                                                       size_t length) {
  auto guard = bus().lock();
  if (!live(dev, "hid_get_feature_report")) return -1;
  return get_report(dev, RequestKind::HidGetFeature, &Device::hid_get_feature, data, length);
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
  auto guard = bus().lock();
  return get_string(dev, &HidInfo::manufacturer, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  auto guard = bus().lock();
  return get_string(dev, &HidInfo::product, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
  auto guard = bus().lock();
  return get_string(dev, &HidInfo::serial_number, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device* dev, int /*string_index*/,
                                               wchar_t* /*string*/, size_t /*maxlen*/) {
  auto guard = bus().lock();
  if (!live(dev, "hid_get_indexed_string")) return -1;
  dev->error = L"hid_get_indexed_string is not supported by the virtual device";
  return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
  auto guard = bus().lock();
  if (dev == nullptr)
    return state().global_error.empty() ? L"Success" : state().global_error.c_str();
  if (!state().handles.contains(dev)) return L"Invalid device";
  return dev->error.empty() ? L"Success" : dev->error.c_str();
}

}  // extern "C"
