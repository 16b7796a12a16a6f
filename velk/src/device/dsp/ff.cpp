#include "velk/src/device/dsp/ff.h"

#include "velk/src/c/log.h"
#include "velk/src/device/dsp/crc16.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::dsp {
namespace {

constexpr std::uint8_t kMarker = 0xEE;
enum Command : std::uint8_t { kCommandData = 0x14, kCommandCrc = 0x15, kCommandErase = 0x21 };

struct Header {
  std::uint32_t end;
  std::uint32_t start;
  std::uint32_t length;
  std::uint16_t check;
  std::uint8_t marker;
  std::uint8_t command;

  // Byte address of the section: twice the word address, wrapping like the device does.
  std::uint32_t byte_address() const { return start * 2U; }
};

// The header's fields at their offsets; multi-byte fields are big-endian, addresses count 16-bit
// words.
Header read_header(std::span<const std::uint8_t> h) {
  return Header{.end = load_be32(h, 0),
                .start = load_be32(h, 12),
                .length = load_be32(h, 16),
                .check = load_be16(h, 22),  // the low half of the 32-bit check field at 20
                .marker = h[62],
                .command = h[63]};
}

// The bytes of the run of contiguous data records that starts with the (checked) data record at
// p, looking past CRC records as the parse does; the run ends at anything else. Only a size to
// reserve: the parse itself still checks every record.
std::size_t run_length(std::span<const std::uint8_t> data, std::size_t p) {
  const Header first = read_header(data.subspan(p));
  std::uint64_t next_address = std::uint64_t{first.byte_address()} + first.length;
  std::size_t total = first.length;
  p += kFfHeaderLength + first.length;
  while (data.size() - p >= kFfHeaderLength) {
    const Header h = read_header(data.subspan(p));
    if (h.marker != kMarker || h.end != (h.byte_address() + h.length) / 2) break;
    if (h.command == kCommandCrc) {
      p += kFfHeaderLength;
      continue;
    }
    const std::size_t body_left = data.size() - p - kFfHeaderLength;
    if (h.command != kCommandData || h.length % 2 != 0 || h.length > body_left ||
        h.byte_address() != next_address) {
      break;
    }
    next_address += h.length;
    total += h.length;
    p += kFfHeaderLength + h.length;
  }
  return total;
}

// The data record at p: appended to the write section before it when that one ends where this
// starts, or else a new section, sized for the whole run so that appending never moves it.
void add_write(std::vector<FfSection>& sections, std::uint32_t address,
               std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> data,
               std::size_t p) {
  if (!sections.empty()) {
    if (auto* last = std::get_if<WriteSection>(&sections.back())) {
      // Merged only when the previous run really ends here, not when its end wraps past 4 GiB.
      if (std::uint64_t{last->address} + last->data.size() == address) {
        VELK_DEBUG(kDspLogTarget, "Coalescing writes: {:#x},{:#x} with {:#x},{:#x}", last->address,
                   last->data.size(), address, bytes.size());
        last->data.insert(last->data.end(), bytes.begin(), bytes.end());
        return;
      }
    }
  }
  WriteSection section{address, {}};
  section.data.reserve(run_length(data, p));
  section.data.assign(bytes.begin(), bytes.end());
  sections.emplace_back(std::move(section));
}

// A data or CRC record covers `length` bytes after its header: a whole number of words, all
// inside the file. `left` is what follows the header, so a length near 2^32 cannot wrap.
Status check_body(const Header& h, std::size_t left, std::size_t p) {
  if (h.length % 2 != 0) return fail(ErrorKind::InvalidImage, "invalid FF length: {:#x}", h.length);
  if (h.length > left) return fail(ErrorKind::InvalidImage, "unexpected FF EOF at offset {:#x}", p);
  return {};
}

}  // namespace

Result<std::vector<FfSection>> parse_ff(std::span<const std::uint8_t> data) {
  std::vector<FfSection> sections;
  std::size_t p = 0;
  while (p < data.size()) {
    const std::size_t left = data.size() - p;
    if (left < kFfHeaderLength) {
      return fail(ErrorKind::InvalidImage, "invalid FF block at offset {:#x}", p);
    }
    const Header h = read_header(data.subspan(p, kFfHeaderLength));
    const std::uint32_t twice_start = h.byte_address();
    // All of it modulo 2^32: the files were made for a 32-bit word-addressed DSP.
    if (h.marker != kMarker || h.end != (twice_start + h.length) / 2) {
      return fail(ErrorKind::InvalidImage,
                  "corrupt FF image: {:#x} != 0xee || {:#x} != {:#x} + {:#x} / 2", h.marker, h.end,
                  twice_start, h.length);
    }
    const std::size_t body_left = left - kFfHeaderLength;
    const auto body = [&] { return data.subspan(p + kFfHeaderLength, h.length); };
    switch (h.command) {
      case kCommandData:
        VELK_TRY(check_body(h, body_left, p));
        add_write(sections, twice_start, body(), data, p);
        p += kFfHeaderLength + h.length;
        break;
      case kCommandCrc: {
        VELK_TRY(check_body(h, body_left, p));
        const std::uint16_t crc = swapped_crc16(body());
        if (crc != h.check) {
          return fail(ErrorKind::InvalidImage, "invalid FF CRC: {:#x} != {:#x}", crc, h.check);
        }
        // The covered bytes are records of their own and are parsed next.
        p += kFfHeaderLength;
        break;
      }
      case kCommandErase:
        sections.emplace_back(EraseSection{twice_start, h.length * 2U});
        p += kFfHeaderLength;
        break;
      default:
        return fail(ErrorKind::InvalidImage, "unknown command: {:#x}", h.command);
    }
  }
  return sections;
}

}  // namespace velk::dsp
