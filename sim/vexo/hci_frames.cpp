#include "sim/vexo/hci_frames.h"

#include <algorithm>

namespace sim::vexo::hci {
namespace {

// Command: opcode (2), parameter length (1), extension descriptor (1), then the BCCMD header of
// five words: type, length in words, sequence, variable, status.
constexpr std::size_t kCommandHeader = 3;
constexpr std::size_t kBccmdStart = 4;
constexpr std::size_t kBccmdHeader = 10;

}  // namespace

std::uint16_t word_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void put_word(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

Command parse_command(std::span<const std::uint8_t> packet) {
  Command command;
  if (packet.size() < kCommandHeader || packet[2] != packet.size() - kCommandHeader) {
    return command;
  }
  command.opcode = word_at(packet, 0);
  if (command.opcode != kVendorOpcode) {
    command.kind = CommandKind::NotVendor;
    return command;
  }
  if (packet.size() <= kBccmdStart) return command;
  const std::uint8_t descriptor = packet[3];
  if ((descriptor & kChannelMask) != kBccmdChannel ||
      (descriptor & kWholeMessage) != kWholeMessage) {
    command.kind = CommandKind::NotBccmd;
    return command;
  }
  const std::size_t message_bytes = packet.size() - kBccmdStart;
  if (message_bytes < kBccmdHeader || message_bytes % 2 != 0 ||
      word_at(packet, kBccmdStart + 2) != message_bytes / 2) {
    return command;
  }
  command.kind = CommandKind::Bccmd;
  command.message.type = word_at(packet, kBccmdStart);
  command.message.sequence = word_at(packet, kBccmdStart + 4);
  command.message.variable = word_at(packet, kBccmdStart + 6);
  command.message.status = word_at(packet, kBccmdStart + 8);
  command.message.payload.assign(packet.begin() + kBccmdStart + kBccmdHeader, packet.end());
  return command;
}

Bytes bccmd_event(const BccmdMessage& answer) {
  // Event: code, parameter length, extension descriptor, then the BCCMD header and payload.
  const std::size_t message_bytes =
      kBccmdHeader + answer.payload.size() + answer.payload.size() % 2;
  Bytes event(3 + message_bytes, 0);
  event[0] = kVendorEvent;
  event[1] = static_cast<std::uint8_t>(event.size() - 2);
  event[2] = kWholeMessage | kBccmdChannel;
  put_word(event, 3, kGetResp);
  put_word(event, 5, static_cast<std::uint16_t>(message_bytes / 2));
  put_word(event, 7, answer.sequence);
  put_word(event, 9, answer.variable);
  put_word(event, 11, answer.status);
  std::copy(answer.payload.begin(), answer.payload.end(), event.begin() + 3 + kBccmdHeader);
  return event;
}

Bytes command_status_event(std::uint8_t status, std::uint16_t opcode) {
  return {kCommandStatusEvent,
          4,
          status,
          /*command packets allowed*/ 1,
          static_cast<std::uint8_t>(opcode & 0xFF),
          static_cast<std::uint8_t>(opcode >> 8)};
}

}  // namespace sim::vexo::hci
