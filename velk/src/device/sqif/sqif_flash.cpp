#include "velk/src/device/sqif/sqif_flash.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "velk/src/c/log.h"
#include "velk/src/device/mode.h"
#include "velk/src/device/sqif/xuv.h"

namespace velk::sqif {

Status flash_sqif(SqifDevice& device, std::span<const std::uint8_t> xuv, const Progress& progress) {
  VELK_TRY_ASSIGN(image, sqif::parse_xuv(xuv));
  return flash_image(device, image, progress);
}

Status flash_image(SqifDevice& device, std::span<const std::uint8_t> image,
                   const Progress& progress) {
  const std::uint64_t total = image.size();
  progress(0, total);

  VELK_DEBUG(kSqifLogTarget, "Erasing partition 0");
  VELK_TRY(sqif_erase(device));

  VELK_DEBUG(kSqifLogTarget, "Writing firmware");
  for (std::size_t done = 0; done < image.size();) {
    const std::size_t length = std::min(kWriteChunk, image.size() - done);
    VELK_TRY(sqif_write(device, image.subspan(done, length)));
    done += length;
    progress(done, total);
  }

  VELK_DEBUG(kSqifLogTarget, "Manifesting firmware");
  return sqif_manifest(device);
}

}  // namespace velk::sqif
