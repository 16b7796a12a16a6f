// BCCMD, the chip's command protocol on HCI extension channel 2: the command frame, the checks
// of the answering event, and one exchange of the two.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "velk/src/c/error.h"
#include "velk/src/device/btm/btm_device.h"
#include "velk/src/device/btm/hci.h"

namespace velk::btm {

enum class BccmdType : std::uint16_t { GetReq = 0, GetResp = 1, SetReq = 2 };

// Header bytes before the payload in a command (HCI header, channel byte, five BCCMD words)
// and in an event (the event lacks the command's second opcode byte).
constexpr std::size_t kBccmdCommandHeader = 14;
constexpr std::size_t kBccmdEventHeader = 13;
// The largest payload that fits a command in the HCI buffer: 242 bytes.
constexpr std::size_t kBccmdMaxPayload = kHciBufferSize - kBccmdCommandHeader;
// Shorter payloads are padded up to this.
constexpr std::size_t kBccmdMinPayload = 8;

// Writes the command packet into the buffer and returns its length. Advances the sequence
// counter (wrapping at 16 bits) unless it fails.
Result<std::size_t> build_bccmd(std::uint16_t& sequence, BccmdType type, std::uint16_t variable,
                                std::span<const std::uint8_t> payload, HciBuffer& buffer);

// Checks a received event against the request's variable and sequence number and returns its
// payload, bytes 13 to the end. An event of another extension channel, or an answer with another
// sequence number (to an earlier request), fails with SpuriousError.
Result<std::span<const std::uint8_t>> parse_bccmd_response(std::uint16_t variable,
                                                           std::uint16_t sequence,
                                                           std::span<const std::uint8_t> received);

// Sends the first `length` bytes of the buffer and returns the payload of the answer, which
// overwrites the request in the same buffer. Events of other channels and answers to earlier
// requests are skipped until there are too many (too_many_events); then the exchange fails with
// SpuriousError.
Result<std::span<const std::uint8_t>> bccmd_exchange(BtmDevice& device, std::uint16_t variable,
                                                     HciBuffer& buffer, std::size_t length,
                                                     std::string_view label);

}  // namespace velk::btm
