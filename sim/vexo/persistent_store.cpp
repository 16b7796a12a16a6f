#include "sim/vexo/persistent_store.h"

#include <utility>

#include "sim/vexo/identity.h"

namespace sim::vexo {

PersistentStore::PersistentStore() : defaults_{{kModePsKey, Words{0}}} {}

std::optional<Words> PersistentStore::read(std::uint16_t key) const {
  if (auto it = written_.find(key); it != written_.end()) return it->second;
  if (auto it = defaults_.find(key); it != defaults_.end()) return it->second;
  return std::nullopt;
}

void PersistentStore::write(std::uint16_t key, Words value) {
  written_[key] = std::move(value);
}

void PersistentStore::clear(std::uint16_t key) {
  written_.erase(key);
}

}  // namespace sim::vexo
