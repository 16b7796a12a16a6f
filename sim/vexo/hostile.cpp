#include "sim/vexo/hostile.h"

#include <algorithm>

namespace sim::vexo {

std::optional<Bytes> HostileAnswers::next(std::chrono::nanoseconds now) {
  if (now < quiet_until_ || script_.empty()) return std::nullopt;
  const std::uint8_t first = script_[0];
  script_ = script_.subspan(1);
  if (first == 0) {
    const std::uint8_t tenths = script_.empty() ? 0 : script_[0];
    script_ = script_.subspan(std::min<std::size_t>(1, script_.size()));
    quiet_until_ = now + std::chrono::milliseconds(100) * tenths;
    return std::nullopt;
  }
  std::size_t length = first;
  if (first & 0x80) {
    const std::uint8_t low = script_.empty() ? 0 : script_[0];
    script_ = script_.subspan(std::min<std::size_t>(1, script_.size()));
    length = static_cast<std::size_t>((first & 0x7F) << 8 | low);
  }
  length = std::min(length, script_.size());
  Bytes answer(script_.begin(), script_.begin() + static_cast<std::ptrdiff_t>(length));
  script_ = script_.subspan(length);
  return answer;
}

}  // namespace sim::vexo
