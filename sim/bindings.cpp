#include "sim/bindings.h"

#include <utility>

namespace sim {

Bindings::Bindings(const Device& model, std::set<int> interfaces)
    : model_(&model), interfaces_(std::move(interfaces)) {
  for (int number : interfaces_) probe(number);
}

std::string Bindings::kernel_driver(int interface) const {
  auto it = drivers_.find(interface);
  return it == drivers_.end() ? std::string() : it->second;
}

std::string Bindings::holder(int interface) const {
  if (claims_.contains(interface)) return kUsbfs;
  return kernel_driver(interface);
}

bool Bindings::claimed_by(int interface, Owner owner) const {
  auto it = claims_.find(interface);
  return it != claims_.end() && it->second == owner;
}

Bindings::Claim Bindings::claimable(int interface, Owner owner) const {
  if (auto it = claims_.find(interface); it != claims_.end())
    return it->second == owner ? Claim::Taken : Claim::HeldByOther;
  return drivers_.contains(interface) ? Claim::HeldByDriver : Claim::Taken;
}

bool Bindings::release(int interface, Owner owner) {
  if (!claimed_by(interface, owner)) return false;
  claims_.erase(interface);
  return true;
}

void Bindings::release_all(Owner owner) {
  std::erase_if(claims_, [&](const auto& claim) { return claim.second == owner; });
}

bool Bindings::unbind(int interface) {
  return claims_.erase(interface) + drivers_.erase(interface) > 0;
}

Bindings::Probe Bindings::probe(int interface) {
  if (!holder(interface).empty()) return Probe::Busy;
  std::string name = model_ ? model_->kernel_driver(interface) : std::string();
  if (name.empty()) return Probe::NoDriver;
  drivers_[interface] = std::move(name);
  return Probe::Bound;
}

void Bindings::reset() {
  claims_.clear();
  for (int number : interfaces_) probe(number);
}

}  // namespace sim
