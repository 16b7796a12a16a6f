#include "velk/src/device/dsp/dsp_sector.h"

#include <algorithm>
#include <array>
#include <limits>

#include "velk/src/device/dsp/crc16.h"

namespace velk::dsp {
namespace {

// Memory bytes b0 b1 travel as b1 b0; the same swap turns them back.
void copy_swapped(std::span<const std::uint8_t> from, std::uint8_t* to) {
  for (std::size_t i = 0; i + 1 < from.size(); i += 2) {
    to[i] = from[i + 1];
    to[i + 1] = from[i];
  }
}

std::uint32_t byte_count(std::size_t size) {
  if (static_cast<std::uint64_t>(size) > std::numeric_limits<std::uint32_t>::max())
    throw InternalFailure("DSP transfer beyond 32 bits");
  return static_cast<std::uint32_t>(size);
}

}  // namespace

Status read_sector(DspDevice& device, std::uint32_t address, std::span<std::uint8_t> destination) {
  VELK_TRY(dsp_command(device, DSP_READ, address, byte_count(destination.size()), 0,
                       /*poll_status=*/false));
  std::array<std::uint8_t, kDataReportLength> report{};
  while (!destination.empty()) {
    report.fill(0);
    report[0] = kDataReportId;
    VELK_TRY_ASSIGN(count, device.hid().get_feature_report(report));
    if (count < kDataReportLength) {
      return fail(ErrorKind::DeviceError, "partial sector read: {:#x} < {:#x}", count,
                  kDataReportLength);
    }
    const std::size_t take = std::min(kDataChunk, destination.size());
    std::array<std::uint8_t, kDataChunk> data{};
    copy_swapped(std::span(report).subspan(2), data.data());
    std::copy_n(data.begin(), take, destination.begin());
    destination = destination.subspan(take);
  }
  return {};
}

Status write_sector(DspDevice& device, std::uint32_t address, std::span<const std::uint8_t> data) {
  const std::uint32_t count = byte_count(data.size());
  const std::uint16_t crc = dsp::swapped_crc16(data);
  VELK_TRY(dsp_command(device, DSP_WRITE, address, count, crc, /*poll_status=*/false));
  std::array<std::uint8_t, kDataReportLength> report{};
  for (auto rest = data; !rest.empty();) {
    const auto chunk = rest.first(std::min(kDataChunk, rest.size()));
    report.fill(0);
    report[0] = kDataReportId;
    copy_swapped(chunk, &report[2]);
    VELK_TRY_ASSIGN(sent, device.hid().send_feature_report(report));
    if (sent != kDataReportLength) {
      return fail(ErrorKind::DeviceError, "partial sector write: {:#x} != {:#x}", sent,
                  kDataReportLength);
    }
    rest = rest.subspan(chunk.size());
  }
  // The loader answers the check with status 10 when the bytes it received do not match.
  return dsp_command(device, DSP_WRITE_CHECK, address, count, crc, /*poll_status=*/true);
}

Status erase_sector(DspDevice& device, std::uint32_t address, std::uint32_t size) {
  return dsp_command(device, DSP_ERASE, address, size, 0, /*poll_status=*/true);
}

}  // namespace velk::dsp
