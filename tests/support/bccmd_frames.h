// BCCMD messages as they travel in HCI packets, written out field by field apart from the
// library's codec: the vendor command (opcode 0xFC00) that carries a request, and the vendor
// event (0xFF) that carries the answer, each with one whole message on channel 2 (0xC2). A
// message is type, length in words, sequence number, variable ID and status, little-endian,
// then its payload.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace velk::testing {

inline constexpr std::uint16_t kBccmdGetReq = 0;
inline constexpr std::uint16_t kBccmdGetResp = 1;
inline constexpr std::uint16_t kBccmdSetReq = 2;

struct BccmdMessage {
  std::uint16_t type;
  std::uint16_t sequence;
  std::uint16_t variable;
  std::vector<std::uint8_t> payload{};
  std::uint16_t status = 0;
};

// `head` packet bytes (opcode or event code), the parameter length, the channel, the message.
inline std::vector<std::uint8_t> bccmd_packet(std::vector<std::uint8_t> head,
                                              const BccmdMessage& m) {
  const std::size_t at = head.size();
  std::vector<std::uint8_t> packet = std::move(head);
  // Sized up front: GCC 12 misreads an insert after a braced initialiser as out of bounds.
  packet.resize(at + 12 + m.payload.size());
  const auto put = [&](std::size_t offset, unsigned value) {
    packet[at + offset] = static_cast<std::uint8_t>(value & 0xFF);
    packet[at + offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  };
  packet[at] = static_cast<std::uint8_t>(11 + m.payload.size());
  packet[at + 1] = 0xC2;
  put(2, m.type);
  put(4, static_cast<unsigned>(10 + m.payload.size()) / 2);
  put(6, m.sequence);
  put(8, m.variable);
  put(10, m.status);
  std::copy(m.payload.begin(), m.payload.end(), packet.begin() + static_cast<long>(at + 12));
  return packet;
}

inline std::vector<std::uint8_t> bccmd_command(const BccmdMessage& m) {
  return bccmd_packet({0x00, 0xFC}, m);
}

inline std::vector<std::uint8_t> bccmd_event(const BccmdMessage& m) {
  return bccmd_packet({0xFF}, m);
}

}  // namespace velk::testing
