#include "sim/bus.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/usb/config_parser.h"

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
  if (a.hid) a.hid_info = device->hid_info();
  a.bindings = Bindings(*device, usb::interface_numbers(a.config));
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
  device.bus_ = nullptr;
  // Keep the model alive until the attachment is gone: the caller may hold the only other
  // reference through an event that is running right now.
  auto keep = it->device;
  const std::uint64_t id = it->id;
  attachments_.erase(it);
  for (const auto& observer : unplug_observers_) observer(id);
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

Waited Bus::wait_for(std::uint64_t attachment, Nanos limit, const std::function<bool()>& poll) {
  auto guard = lock();
  const Nanos deadline = now_ + std::max(limit, Nanos::zero());
  auto ready = [&] {
    if (this->attachment(attachment) == nullptr) return Waited::Unplugged;
    return poll() ? Waited::Ready : Waited::TimedOut;
  };
  for (;;) {
    if (auto state = ready(); state != Waited::TimedOut) return state;
    auto next = next_event();
    if (!next || *next > deadline) {
      advance(deadline - now_);
      return ready();
    }
    advance(*next - now_);
  }
}

void Bus::on_unplug(std::function<void(std::uint64_t)> observer) {
  auto guard = lock();
  unplug_observers_.push_back(std::move(observer));
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

std::shared_ptr<Device> Bus::model(std::uint64_t id) const {
  auto guard = lock();
  const Attachment* a = attachment(id);
  return a ? a->device : nullptr;
}

Bindings* Bus::bindings(std::uint64_t id) {
  auto guard = lock();
  for (auto& a : attachments_) {
    if (a.id == id) return &a.bindings;
  }
  return nullptr;
}

std::string Bus::driver(std::uint64_t attachment, int interface) const {
  auto guard = lock();
  const Attachment* a = this->attachment(attachment);
  return a ? a->bindings.kernel_driver(interface) : std::string();
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
