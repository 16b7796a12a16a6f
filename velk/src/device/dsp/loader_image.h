// The structural check of a DSP loader image, the only data allowed into the protected flash.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velk::dsp {

// True when the image has a known type and its chain of blocks ends exactly 22 bytes before
// its end. A rejection is logged at error level with its reason; the caller reports the error.
bool check_loader_image(std::span<const std::uint8_t> data);

// The reason check_loader_image rejects the image, or nothing when it accepts it.
std::optional<std::string> loader_image_problem(std::span<const std::uint8_t> data);

}  // namespace velk::dsp
