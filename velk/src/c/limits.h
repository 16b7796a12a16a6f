// Limits of the C interface's arguments that the hosts (velkctl, the Python binding) check
// before they call, so that they can say why a value does not fit.
#pragma once

#include <cstdint>

namespace velk {

// The longest persistent-store value, in 16-bit words: what one PS record of 242 bytes carries
// after its 6-byte header. The BTM mode's PS codec derives it from the record and checks it
// against this.
inline constexpr std::uint32_t kPskeyMaxWords = 118;

}  // namespace velk
