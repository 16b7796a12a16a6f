#include "sim/bus.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/usb/config_parser.h"
#include "sim/usb/objects.h"

namespace sim {

void Bus::plug(std::shared_ptr<Device> device) {
  auto guard = lock();
  if (!device) throw std::invalid_argument("sim::Bus::plug: no device");
  if (device->bus_ != nullptr)
    throw std::logic_error("sim::Bus::plug: device is already plugged in");
  Attachment a;
  a.id = next_attachment_++;
  a.device = device;
  a.address = next_address_;
  next_address_ = next_address_ >= 127 ? 1 : static_cast<std::uint8_t>(next_address_ + 1);
  a.port = static_cast<std::uint8_t>(attachments_.size() + 1);
  a.descriptor = device->device_descriptor();
  a.config = device->config_descriptor();
  a.hid = device->hid();
  if (a.hid) {
    a.hid_info = device->hid_info();
    a.hid_path = fmt::format("sim:hid:{}-{}#{}", a.bus_number, a.address, a.id);
  }
  a.usb = usb::make_device(a.id, a.bus_number, a.port, a.address, a.descriptor, a.config);
  // The host's kernel binds its drivers as the device appears.
  for (int number : usb::interface_numbers(a.config)) {
    if (auto name = device->kernel_driver(number); !name.empty()) a.drivers[number] = name;
  }
  device->bus_ = this;
  attachments_.push_back(std::move(a));
}

void Bus::unplug(Device& device) {
  auto guard = lock();
  unplug_locked(device);
}

void Bus::unplug_locked(Device& device) {
  auto it = std::find_if(attachments_.begin(), attachments_.end(),
                         [&](const Attachment& a) { return a.device.get() == &device; });
  if (it == attachments_.end()) return;
  usb::drop_reference(it->usb);
  device.bus_ = nullptr;
  // Keep the model alive until the attachment is gone: the caller may hold the only other
  // reference through an event that is running right now.
  auto keep = it->device;
  attachments_.erase(it);
}

bool Bus::plugged(const Device& device) const {
  auto guard = lock();
  return std::any_of(attachments_.begin(), attachments_.end(),
                     [&](const Attachment& a) { return a.device.get() == &device; });
}

void Bus::replug(Device& device, Nanos delay) {
  auto guard = lock();
  auto it = std::find_if(attachments_.begin(), attachments_.end(),
                         [&](const Attachment& a) { return a.device.get() == &device; });
  if (it == attachments_.end()) return;
  std::shared_ptr<Device> keep = it->device;
  unplug_locked(device);
  after(delay, [this, keep] {
    if (!plugged(*keep)) plug(keep);
  });
}

std::vector<std::shared_ptr<Device>> Bus::devices() const {
  auto guard = lock();
  std::vector<std::shared_ptr<Device>> out;
  for (const auto& a : attachments_) out.push_back(a.device);
  return out;
}

Nanos Bus::now() const {
  auto guard = lock();
  return now_;
}

EventId Bus::after(Nanos delay, std::function<void()> event) {
  auto guard = lock();
  EventId id = next_event_++;
  events_.emplace(now_ + std::max(delay, Nanos::zero()), Event{id, std::move(event)});
  return id;
}

void Bus::cancel(EventId id) {
  auto guard = lock();
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->second.id == id) {
      events_.erase(it);
      return;
    }
  }
}

void Bus::advance(Nanos duration) {
  auto guard = lock();
  const Nanos target = now_ + std::max(duration, Nanos::zero());
  // Events may schedule further events, also at the current time; they run in this call too.
  while (!events_.empty() && events_.begin()->first <= target) {
    auto node = events_.extract(events_.begin());
    now_ = std::max(now_, node.key());
    node.mapped().run();
  }
  now_ = std::max(now_, target);
}

std::optional<Nanos> Bus::next_event() const {
  auto guard = lock();
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first;
}

bool Bus::wait_until(Nanos limit, const std::function<bool()>& done) {
  auto guard = lock();
  const Nanos deadline = now_ + std::max(limit, Nanos::zero());
  for (;;) {
    if (done()) return true;
    auto next = next_event();
    if (!next || *next > deadline) {
      advance(deadline - now_);
      return done();
    }
    advance(*next - now_);
  }
}

std::optional<Action> Bus::fault_for(const RequestKey& key) {
  auto guard = lock();
  auto action = faults_.take(key);
  if (action && action->type == Action::Type::Unplug && key.device != nullptr) {
    auto* device = const_cast<Device*>(key.device);
    if (action->replug_after) {
      replug(*device, *action->replug_after);
    } else {
      unplug_locked(*device);
    }
  }
  return action;
}

void Bus::record(Request request) {
  auto guard = lock();
  request.time = now_;
  requests_.add(std::move(request));
  if (on_first_request) {
    auto hook = std::move(on_first_request);
    on_first_request = nullptr;
    hook();
  }
}

void Bus::note_misuse(std::string what) {
  auto guard = lock();
  std::fprintf(stderr, "sim: API misuse: %s\n", what.c_str());
  misuse_.push_back(std::move(what));
}

Resources Bus::resources() const {
  auto guard = lock();
  return counters_;
}

const Attachment* Bus::attachment(std::uint64_t id) const {
  for (const auto& a : attachments_) {
    if (a.id == id) return &a;
  }
  return nullptr;
}

std::string Bus::driver(std::uint64_t attachment, int interface) const {
  auto guard = lock();
  const Attachment* a = this->attachment(attachment);
  if (a == nullptr) return {};
  auto it = a->drivers.find(interface);
  return it == a->drivers.end() ? std::string() : it->second;
}

void Bus::bind_driver(std::uint64_t attachment, int interface, std::string driver) {
  auto guard = lock();
  for (auto& a : attachments_) {
    if (a.id != attachment) continue;
    if (driver.empty()) {
      a.drivers.erase(interface);
    } else {
      a.drivers[interface] = std::move(driver);
    }
  }
}

void Bus::reset() {
  auto guard = lock();
  while (!attachments_.empty()) unplug_locked(*attachments_.back().device);
  events_.clear();
  faults_.clear();
  requests_.clear();
  misuse_.clear();
  now_ = Nanos::zero();
  next_address_ = 1;
}

Bus& bus() {
  // Never destroyed: a preloaded process may read the clock from its exit handlers.
  static Bus* instance = new Bus;
  return *instance;
}

void reset() {
  bus().reset();
}

}  // namespace sim
