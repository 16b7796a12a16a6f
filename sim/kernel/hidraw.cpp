#include "sim/kernel/hidraw.h"

#include <fmt/format.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/bus.h"
#include "sim/kernel/journal.h"

namespace sim::kernel {
namespace {

constexpr std::size_t kMaxBuffer = 16384;  // HID_MAX_BUFFER_SIZE

// A model's hidapi-style count as the system call's result: its failures are stalled requests.
int report_result(int count) {
  return count < 0 ? -EPIPE : count;
}

}  // namespace

HidrawNode::HidrawNode(std::uint64_t attachment, std::string devnode, Bytes report_descriptor)
    : Node(attachment, std::move(devnode)), report_descriptor_(std::move(report_descriptor)) {}

void HidrawNode::on_open(UMockdevIoctlClient* client) {
  open_.insert(client);
  journal().trace(fmt::format("{} open", devnode()));
}

void HidrawNode::on_close(UMockdevIoctlClient* client) {
  open_.erase(client);
  std::erase_if(readers_, [&](const auto& r) { return r.get() == client; });
  // With nobody reading, the kernel drops what the device sends.
  if (open_.empty()) input_.reset();
  journal().trace(fmt::format("{} close", devnode()));
}

bool HidrawNode::on_ioctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto finish = [&](const std::string& name, int result) {
    journal().trace(fmt::format("{} {} -> {}", devnode(), name, result_text(result)));
    umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
    return true;
  };
  if (gone_ || !model())
    return finish(fmt::format("ioctl {:#x} after the device left", request), -ENODEV);

  if (request == HIDIOCGRDESCSIZE) {
    auto data = resolve(arg, 0, sizeof(int));
    if (!data) return finish("HIDIOCGRDESCSIZE", -EFAULT);
    const int size = static_cast<int>(report_descriptor_.size());
    std::memcpy(data->data, &size, sizeof size);
    return finish("HIDIOCGRDESCSIZE", 0);
  }
  if (request == HIDIOCGRDESC) {
    auto data = resolve(arg, 0, sizeof(hidraw_report_descriptor));
    if (!data) return finish("HIDIOCGRDESC", -EFAULT);
    auto* d = reinterpret_cast<hidraw_report_descriptor*>(data->data);
    if (d->size > HID_MAX_DESCRIPTOR_SIZE) return finish("HIDIOCGRDESC", -EINVAL);
    const auto n = std::min<std::size_t>(d->size, report_descriptor_.size());
    std::copy_n(report_descriptor_.begin(), n, d->value);
    return finish("HIDIOCGRDESC", 0);
  }
  if (request == HIDIOCGRAWINFO) {
    auto data = resolve(arg, 0, sizeof(hidraw_devinfo));
    if (!data) return finish("HIDIOCGRAWINFO", -EFAULT);
    const auto descriptor = model()->device_descriptor();
    const hidraw_devinfo info{/*BUS_USB*/ 0x03, static_cast<__s16>(descriptor.idVendor),
                              static_cast<__s16>(descriptor.idProduct)};
    std::memcpy(data->data, &info, sizeof info);
    return finish("HIDIOCGRAWINFO", 0);
  }
  const std::size_t length = _IOC_SIZE(request);
  const unsigned long sized =
      request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
  if (sized == HIDIOCSFEATURE(0) || sized == HIDIOCGFEATURE(0)) {
    const bool get = sized == HIDIOCGFEATURE(0);
    return finish(fmt::format("{}({})", get ? "HIDIOCGFEATURE" : "HIDIOCSFEATURE", length),
                  feature(arg, length, get));
  }
  unserved(client, fmt::format("hidraw ioctl {:#x} (type '{}', number {:#x}, size {})", request,
                               static_cast<char>(_IOC_TYPE(request)), _IOC_NR(request), length));
  return true;
}

int HidrawNode::feature(UMockdevIoctlData* arg, std::size_t length, bool get) {
  if (length == 0 || length > kMaxBuffer) return -EINVAL;
  auto data = resolve(arg, 0, length);
  if (!data) return -EFAULT;
  auto device = model();
  std::span<std::uint8_t> report(data->data, length);
  const RequestKey key{.kind = get ? RequestKind::HidGetFeature : RequestKind::HidSendFeature,
                       .device = device.get(),
                       .report_id = report[0]};
  if (fault_fired(key)) return -EPIPE;  // the device went away under the request
  return report_result(get ? device->hid_get_feature(report) : device->hid_send_feature(report));
}

bool HidrawNode::on_write(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const std::size_t length = static_cast<std::size_t>(arg->data_len);
  int result;
  auto device = model();
  if (gone_ || !device) {
    result = -ENODEV;
  } else if (length < 2 || length > kMaxBuffer) {
    result = -EINVAL;
  } else {
    const RequestKey key{
        .kind = RequestKind::HidWrite, .device = device.get(), .report_id = arg->data[0]};
    if (fault_fired(key)) {
      result = -EIO;
    } else {
      const int n = device->hid_write(std::span<const std::uint8_t>(arg->data, length));
      result = n < 0 ? -EIO : n;
    }
  }
  journal().trace(fmt::format("{} write({}) -> {}", devnode(), length, result_text(result)));
  umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
  return true;
}

bool HidrawNode::on_read(UMockdevIoctlClient* client) {
  if (gone_) {
    umockdev_ioctl_client_complete(client, -1, EIO);
    return true;
  }
  // hidapi reads after its poll saw a report; one that arrives later still ends the wait.
  readers_.push_back(Ref<UMockdevIoctlClient>::share(client));
  return true;
}

void HidrawNode::service() {
  auto device = model();
  if (!gone_ && !device) {
    gone_ = true;
    input_.reset();
    for (auto& reader : readers_) umockdev_ioctl_client_complete(reader.get(), -1, EIO);
    readers_.clear();
    // The node hangs up, as hidraw's poll reports a disconnected device.
    if (terminal_ >= 0) close(terminal_);
    terminal_ = -1;
    return;
  }
  if (gone_) return;
  while (!open_.empty()) {
    if (!input_) input_ = device->hid_read();
    if (!input_ || readers_.empty()) break;
    auto reader = std::move(readers_.front());
    readers_.pop_front();
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(reader.get());
    const int n = std::min(static_cast<int>(input_->size()), buffer->data_len);
    std::copy_n(input_->begin(), n, buffer->data);
    journal().trace(fmt::format("{} read({}) -> {} [{:02x}]", devnode(), buffer->data_len, n,
                                fmt::join(input_->begin(), input_->begin() + n, " ")));
    input_.reset();
    umockdev_ioctl_client_complete(reader.get(), n, 0);
  }
  signal_input();
}

void HidrawNode::signal_input() {
  const bool waiting = input_.has_value();
  if (waiting == signalled_ || terminal_ < 0) return;
  if (waiting) {
    const char byte = 'r';
    if (write(terminal_, &byte, 1) != 1) journal().fail(devnode() + ": cannot signal a report");
  } else {
    tcflush(terminal_, TCOFLUSH);
  }
  signalled_ = waiting;
}

}  // namespace sim::kernel
