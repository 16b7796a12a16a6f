#include "velk/src/device/btm/bccmd.h"

#include <algorithm>

#include "velk/src/c/log.h"
#include "velk/src/util/byte_order.h"

namespace velk::btm {
namespace {

// Vendor-specific command group 0x3F, command 0.
constexpr std::uint16_t kHciVendorOpcode = 0xFC00;
constexpr std::uint8_t kHciVendorEvent = 0xFF;
// Both top bits set (a complete, unfragmented message) and channel 2, BCCMD.
constexpr std::uint8_t kBccmdChannelMarker = 0xC2;
constexpr std::uint8_t kChannelMask = 0x3F;
constexpr std::uint8_t kBccmdChannel = 2;

}  // namespace

Result<std::size_t> build_bccmd(std::uint16_t& sequence, BccmdType type, std::uint16_t variable,
                                std::span<const std::uint8_t> payload, HciBuffer& buffer) {
  if (payload.size() > kBccmdMaxPayload) {
    return fail(ErrorKind::InternalError, "payload too large: {:#x} > {:#x}", payload.size(),
                kBccmdMaxPayload);
  }
  // The message is counted in words, so the payload is padded to even length.
  std::size_t padded = payload.size() + (payload.size() % 2);
  if (padded < kBccmdMinPayload) padded = kBccmdMinPayload;

  store_le16(buffer, 0, kHciVendorOpcode);
  buffer[2] = static_cast<std::uint8_t>(padded + 11);  // HCI parameter length
  buffer[3] = kBccmdChannelMarker;
  store_le16(buffer, 4, static_cast<std::uint16_t>(type));
  store_le16(buffer, 6,
             static_cast<std::uint16_t>((padded + 10) / 2));  // words: header and payload
  store_le16(buffer, 8, sequence);
  store_le16(buffer, 10, variable);
  store_le16(buffer, 12, 0);  // status
  std::copy(payload.begin(), payload.end(), buffer.begin() + kBccmdCommandHeader);
  std::fill(buffer.begin() + kBccmdCommandHeader + static_cast<std::ptrdiff_t>(payload.size()),
            buffer.begin() + kBccmdCommandHeader + static_cast<std::ptrdiff_t>(padded), 0);

  ++sequence;
  return kBccmdCommandHeader + padded;
}

Result<std::span<const std::uint8_t>> parse_bccmd_response(std::uint16_t variable,
                                                           std::uint16_t sequence,
                                                           std::span<const std::uint8_t> received) {
  const std::size_t n = received.size();
  if (n <= 2) return fail(ErrorKind::DeviceError, "HCIEXT response too short: {:#x}", n);
  // The channel is judged before anything else, so any other event is merely spurious.
  if ((received[2] & kChannelMask) != kBccmdChannel) {
    return fail(ErrorKind::SpuriousError, "Spurious message with channel ID {:#x}", received[2]);
  }
  if (n < kBccmdEventHeader)
    return fail(ErrorKind::DeviceError, "BCCMD response too short: {:#x}", n);
  if (received[0] != kHciVendorEvent) {
    return fail(ErrorKind::DeviceError, "invalid header: {:#x} != 0xff", received[0]);
  }
  if (received[1] + 2u != n) {
    return fail(ErrorKind::DeviceError, "invalid HCI length: {:#x} != {:#x}", received[1] + 2u, n);
  }
  if (received[2] != kBccmdChannelMarker) {
    return fail(ErrorKind::DeviceError, "invalid packet marker: {:#x}", received[2]);
  }
  const std::uint16_t type = load_le16(received, 3);
  if (type != static_cast<std::uint16_t>(BccmdType::GetResp)) {
    return fail(ErrorKind::DeviceError, "response operation not GetResp: {:#x}", type);
  }
  const std::size_t words = load_le16(received, 5);
  if (2 * words + 3 != n) {
    return fail(ErrorKind::DeviceError, "invalid message length: {:#x} != {:#x}", 2 * words + 3, n);
  }
  // The chip echoes the request's sequence number. An answer with another one belongs to an
  // earlier request whose exchange gave up before it came: not ours, so merely spurious.
  const std::uint16_t received_sequence = load_le16(received, 7);
  if (received_sequence != sequence) {
    return fail(ErrorKind::SpuriousError, "stale answer with sequence {:#x} != {:#x}",
                received_sequence, sequence);
  }
  const std::uint16_t received_variable = load_le16(received, 9);
  if (received_variable != variable) {
    return fail(ErrorKind::DeviceError, "invalid variable ID: {:#x} != {:#x}", received_variable,
                variable);
  }
  const std::uint16_t status = load_le16(received, 11);
  if (status != 0) return fail(ErrorKind::DeviceError, "invalid status: {:#x}", status);
  if (n - kBccmdEventHeader < kBccmdMinPayload) {
    return fail(ErrorKind::DeviceError, "payload too small: {:#x}", n - kBccmdEventHeader);
  }
  return received.subspan(kBccmdEventHeader);
}

Result<std::span<const std::uint8_t>> bccmd_exchange(BtmDevice& device, std::uint16_t variable,
                                                     HciBuffer& buffer, std::size_t length,
                                                     std::string_view label) {
  if (length > buffer.size()) throw InternalFailure("BCCMD packet longer than its buffer");
  VELK_TRACE(kBtmLogTarget, "{}: {}", label, log::Dump{buffer.data(), length});
  // The answer overwrites the request in the buffer: its sequence number is kept aside.
  const std::uint16_t sequence = load_le16(buffer, 8);
  VELK_TRY(send_hci_command(device, std::span<const std::uint8_t>(buffer.data(), length)));
  const Nanos start = monotonic_now();
  for (std::size_t skipped = 0;; ++skipped) {
    if (too_many_events(skipped, start)) {
      return fail(ErrorKind::SpuriousError,
                  "no BCCMD response among {:#x} events of other channels", skipped);
    }
    VELK_TRY_ASSIGN(received, read_hci_event(device, buffer));
    VELK_TRACE(kBtmLogTarget, "PS response: {}", log::Dump{buffer.data(), received});
    auto payload = parse_bccmd_response(variable, sequence,
                                        std::span<const std::uint8_t>(buffer.data(), received));
    // Events of other channels (a command status, say) and late answers to earlier requests
    // are not ours to judge; wait for ours.
    if (!payload && payload.error().kind() == ErrorKind::SpuriousError) {
      VELK_DEBUG(kBtmLogTarget, "invalid bccmd response: {}", payload.error().display());
      continue;
    }
    return payload;
  }
}

}  // namespace velk::btm
