// The chip's side of HCI over USB: vendor commands on the control pipe that carry a BCCMD
// message on extension channel 2, and the events it answers with on the interrupt endpoint.
// Written from the chip's point of view and shared with nothing on the host side, so that the
// host's frame codec is checked against an independent reading of the wire format.
#pragma once

#include <cstdint>
#include <span>

#include "sim/device.h"

namespace sim::vexo::hci {

inline constexpr std::uint16_t kVendorOpcode = 0xFC00;
inline constexpr std::uint8_t kVendorEvent = 0xFF;
inline constexpr std::uint8_t kCommandStatusEvent = 0x0F;
// Extension descriptor: channel in bits 0-5, first and last fragment flags in bits 6 and 7.
inline constexpr std::uint8_t kChannelMask = 0x3F;
inline constexpr std::uint8_t kWholeMessage = 0xC0;
inline constexpr std::uint8_t kBccmdChannel = 2;

// HCI error codes the controller reports in a Command Status event.
inline constexpr std::uint8_t kUnknownCommand = 0x01;
inline constexpr std::uint8_t kInvalidParameters = 0x12;

inline constexpr std::uint16_t kGetReq = 0;
inline constexpr std::uint16_t kGetResp = 1;
inline constexpr std::uint16_t kSetReq = 2;

inline constexpr std::uint16_t kVarPs = 0x7003;
inline constexpr std::uint16_t kVarPsClrStores = 0x500C;
inline constexpr std::uint16_t kVarColdReset = 0x4001;

// BCCMD status words.
inline constexpr std::uint16_t kOk = 0;
inline constexpr std::uint16_t kNoSuchVarId = 1;
inline constexpr std::uint16_t kTooBig = 2;
inline constexpr std::uint16_t kNoValue = 3;
inline constexpr std::uint16_t kBadRequest = 4;
inline constexpr std::uint16_t kWriteOnly = 7;

struct BccmdMessage {
  std::uint16_t type = 0;
  std::uint16_t sequence = 0;
  std::uint16_t variable = 0;
  std::uint16_t status = 0;
  Bytes payload;
};

enum class CommandKind {
  Malformed,  // lengths disagree, or too short for what the header promises
  NotVendor,  // some other HCI command
  NotBccmd,   // a vendor command for another channel, or a fragment
  Bccmd,
};

struct Command {
  CommandKind kind = CommandKind::Malformed;
  std::uint16_t opcode = 0;
  BccmdMessage message;
};

Command parse_command(std::span<const std::uint8_t> packet);

// A GetResp event carrying `answer` (its type field is ignored).
Bytes bccmd_event(const BccmdMessage& answer);
Bytes command_status_event(std::uint8_t status, std::uint16_t opcode);

std::uint16_t word_at(std::span<const std::uint8_t> bytes, std::size_t offset);
void put_word(Bytes& bytes, std::size_t offset, std::uint16_t value);

}  // namespace sim::vexo::hci
