#include "velk/src/device/dsp/dsp_layout.h"

#include <algorithm>
#include <limits>

#include "velk/src/device/dsp/loader_image.h"

namespace velk::dsp {

Result<std::vector<Sector>> plan_sectors(std::uint32_t address, std::uint32_t length) {
  std::vector<Sector> plan;
  for (const DspRegion& region : kDspRegions) {
    if (address < region.first) break;
    while (length > 0 && address <= region.last) {
      const std::uint32_t offset = address % region.sector_size;
      plan.push_back({address - offset, region.sector_size});
      const std::uint32_t k = std::min(region.sector_size - offset, length);
      // The last region ends below 2^32 - 2^16, so this never wraps.
      address += k;
      length -= k;
    }
  }
  if (length > 0)
    return fail(ErrorKind::InvalidImage, "firmware image out of bounds: {:#x}, {:#x}", address,
                length);
  return plan;
}

Result<std::vector<Sector>> plan_section(const WriteSection& section) {
  if (section.address < kProtectedLimit) {
    return fail(ErrorKind::InvalidImage, "write section overwrites protected memory: {:#x}",
                section.address);
  }
  // Merged records can in principle pass 4 GiB; no such range fits the flash.
  if (section.data.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(ErrorKind::InvalidImage, "firmware image out of bounds: {:#x}, {:#x}",
                section.address, section.data.size());
  }
  return plan_sectors(section.address, static_cast<std::uint32_t>(section.data.size()));
}

Result<std::vector<Sector>> plan_section(const EraseSection& section) {
  if (section.address < kProtectedLimit) {
    return fail(ErrorKind::InvalidImage, "erase section overwrites protected memory: {:#x}",
                section.address);
  }
  VELK_TRY_ASSIGN(sectors, plan_sectors(section.address, section.length));
  std::uint64_t covered = 0;
  for (const Sector& sector : sectors) covered += sector.size;
  // Erasing is per sector: a section that does not start and end on sector boundaries would
  // wipe bytes outside itself.
  if (covered != section.length) {
    return fail(ErrorKind::InvalidImage, "invalid erase command: {:#x}, {:#x}", section.address,
                section.length);
  }
  return sectors;
}

Status check_loader_placement(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (address >= kProtectedLimit) return {};
  if (address != 0) return fail(ErrorKind::InvalidImage, "invalid loader address: {:#x}", address);
  if (!check_loader_image(data)) return fail(ErrorKind::InvalidImage, "invalid loader image");
  return {};
}

}  // namespace velk::dsp
