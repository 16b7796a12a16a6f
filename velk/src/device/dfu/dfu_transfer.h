// Moving the Bluetooth-module image through the DFU boot loader: the block download with its
// busy polling, the manifestation that writes the image, and the block upload that reads it back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/device/dfu/dfu_device.h"
#include "velk/src/device/progress.h"

namespace velk::dfu {

// Checks the DFU file against the device, sends its image in blocks of the device's transfer
// size and runs the manifestation. Progress counts image bytes: (0, total) first, then once per
// block. Nothing is sent when the device cannot download or the file does not fit it.
Status download(DfuDevice& device, std::span<const std::uint8_t> file, const Progress& progress);

// Starts manifestation with the empty DFU_DNLOAD numbered `block` and polls until the loader has
// written the image, for at most 60 s.
Status manifest(DfuDevice& device, std::uint16_t block);

// A DFU file in the pieces of memory it was read into, in order: an upload of unknown size is
// never copied to grow, and a large one needs no single contiguous allocation.
using FilePieces = std::vector<std::vector<std::uint8_t>>;

// Reads the image block by block until a short block, and returns it with a DFU suffix for the
// device. Progress reports the bytes read so far as both done and total, since the size is known
// only at the end.
Result<FilePieces> upload(DfuDevice& device, const Progress& progress);

}  // namespace velk::dfu
