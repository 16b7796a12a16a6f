// Writing an xuv image into the serial flash through the SQIF loader.
#pragma once

#include <cstdint>
#include <span>

#include "velk/src/c/error.h"
#include "velk/src/device/progress.h"
#include "velk/src/device/sqif/sqif_device.h"

namespace velk::sqif {

// Parses the xuv text, then erases partition 0, writes the image from offset 0 in chunks and
// manifests it. A parse error sends nothing and reports no progress. Progress counts image
// bytes: (0, total) before the erase, then the bytes written after each chunk. The first
// failure ends the flash; what was written stays on the flash.
Status flash_sqif(SqifDevice& device, std::span<const std::uint8_t> xuv, const Progress& progress);

// The device part of flash_sqif, for an image already in bytes: progress (0, total), erase,
// the chunks in order, manifest.
Status flash_image(SqifDevice& device, std::span<const std::uint8_t> image,
                   const Progress& progress);

}  // namespace velk::sqif
