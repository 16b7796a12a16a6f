#include "velk/src/device/dsp/dsp_ops.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <variant>

#include "velk/src/c/log.h"
#include "velk/src/device/dsp/dsp_sector.h"
#include "velk/src/device/dsp/ff.h"
#include "velk/src/device/mode.h"

namespace velk::dsp {
namespace {

// Bytes done against the total of one operation. Counted in 64 bits: the host's callback takes
// 64-bit numbers, and an FF image's sections can add up past 4 GiB.
struct Tally {
  const Progress& progress;
  std::uint64_t total;
  std::uint64_t done = 0;

  void start() const { progress(0, total); }
  void add(std::uint64_t bytes) {
    done += bytes;
    progress(done, total);
  }
};

// The C interface passes 32-bit lengths; a longer span is a caller bug.
std::uint32_t length_of(std::size_t size) {
  if (static_cast<std::uint64_t>(size) > std::numeric_limits<std::uint32_t>::max())
    throw InternalFailure("DSP buffer beyond 32 bits");
  return static_cast<std::uint32_t>(size);
}

// Reads, in address order, each sector that the `length` bytes at `address` touch and hands it
// to `visit` with the part of it inside the range and that part's offset in the range. Progress
// counts each part once visited.
template <class Visit>
Status for_each_sector(DspDevice& device, std::uint32_t address, std::size_t length, Tally& tally,
                       Visit&& visit) {
  VELK_TRY_ASSIGN(sectors, plan_sectors(address, length_of(length)));
  std::size_t done = 0;
  for (const Sector& sector : sectors) {
    const std::size_t offset = address - sector.address;
    const std::size_t k = std::min<std::size_t>(sector.size - offset, length - done);
    std::vector<std::uint8_t> buffer(sector.size, 0);
    VELK_TRY(read_sector(device, sector.address, buffer));
    VELK_TRY(visit(sector, buffer, std::span(buffer).subspan(offset, k), done));
    tally.add(k);
    // Plans never end past the flash, so the address stays within 32 bits.
    address += static_cast<std::uint32_t>(k);
    done += k;
  }
  return {};
}

// Writes back only the sectors whose bytes differ from the data.
Status write_through(DspDevice& device, std::uint32_t address, std::span<const std::uint8_t> data,
                     Tally& tally) {
  return for_each_sector(device, address, data.size(), tally,
                         [&](const Sector& sector, std::span<std::uint8_t> buffer,
                             std::span<std::uint8_t> part, std::size_t at) -> Status {
                           const auto bytes = data.subspan(at, part.size());
                           if (std::equal(part.begin(), part.end(), bytes.begin())) return {};
                           std::copy(bytes.begin(), bytes.end(), part.begin());
                           return write_sector(device, sector.address, buffer);
                         });
}

Status apply(DspDevice& device, const WriteSection& section, Tally& tally) {
  VELK_DEBUG(kDspLogTarget, "Write: {:#x} {:#x}", section.address, section.data.size());
  VELK_TRY(plan_section(section));
  return write_through(device, section.address, section.data, tally);
}

Status apply(DspDevice& device, const EraseSection& section, Tally& tally) {
  VELK_DEBUG(kDspLogTarget, "Erase: {:#x} {:#x}", section.address, section.length);
  VELK_TRY_ASSIGN(sectors, plan_section(section));
  for (const Sector& sector : sectors) {
    VELK_TRY(erase_sector(device, sector.address, sector.size));
    tally.add(sector.size);
  }
  return {};
}

std::uint64_t length_of(const dsp::FfSection& section) {
  return std::visit(
      [](const auto& s) -> std::uint64_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, WriteSection>) {
          return s.data.size();
        } else {
          return s.length;
        }
      },
      section);
}

}  // namespace

Status flash_ff(DspDevice& device, std::span<const std::uint8_t> image, const Progress& progress) {
  VELK_TRY_ASSIGN(sections, dsp::parse_ff(image));
  Tally tally{progress, 0};
  for (const auto& section : sections) tally.total += length_of(section);
  tally.start();
  for (const auto& section : sections) {
    VELK_TRY(std::visit([&](const auto& s) { return apply(device, s, tally); }, section));
  }
  return {};
}

Status write_dsp(DspDevice& device, std::uint32_t address, std::span<const std::uint8_t> data,
                 const Progress& progress) {
  VELK_DEBUG(kDspLogTarget, "Write: {:#x} {:#x}", address, data.size());
  VELK_TRY(check_loader_placement(address, data));
  Tally tally{progress, data.size()};
  tally.start();
  return write_through(device, address, data, tally);
}

Status read_dsp(DspDevice& device, std::uint32_t address, std::span<std::uint8_t> destination,
                const Progress& progress) {
  VELK_DEBUG(kDspLogTarget, "Read: {:#x} {:#x}", address, destination.size());
  Tally tally{progress, destination.size()};
  tally.start();
  return for_each_sector(device, address, destination.size(), tally,
                         [&](const Sector&, std::span<std::uint8_t>, std::span<std::uint8_t> part,
                             std::size_t at) -> Status {
                           std::copy(part.begin(), part.end(), destination.begin() + at);
                           return {};
                         });
}

}  // namespace velk::dsp
