// The chip's persistent store: 16-bit keys holding sequences of 16-bit words. Writes and clears
// act on the writable store; a key that was never written, or was cleared, falls back to the
// firmware's built-in default, as a read on the chip searches every store down to ROM.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sim::vexo {

using Words = std::vector<std::uint16_t>;

class PersistentStore {
 public:
  PersistentStore();

  // The value a read sees: the written one, else the default, else none.
  std::optional<Words> read(std::uint16_t key) const;
  void write(std::uint16_t key, Words value);
  // Drops the written value; the default, if any, shows through again.
  void clear(std::uint16_t key);

  // The written values alone, without the defaults.
  const std::map<std::uint16_t, Words>& written() const { return written_; }
  std::map<std::uint16_t, Words>& defaults() { return defaults_; }

 private:
  std::map<std::uint16_t, Words> written_;
  std::map<std::uint16_t, Words> defaults_;
};

}  // namespace sim::vexo
