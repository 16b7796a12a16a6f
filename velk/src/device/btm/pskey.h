// Persistent-store keys over BCCMD: the PS record that every PS request and answer carries,
// and reading, writing and clearing one key.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "velk/src/c/error.h"
#include "velk/src/c/limits.h"
#include "velk/src/device/btm/bccmd.h"
#include "velk/src/device/btm/btm_device.h"

namespace velk::btm {

constexpr std::uint16_t kVarPs = 0x7003;
constexpr std::uint16_t kVarPsClrStores = 0x500C;

// Every PS request carries the full record, the largest BCCMD payload, so every PS command
// fills the HCI buffer.
constexpr std::size_t kPsRecordSize = kBccmdMaxPayload;
constexpr std::size_t kPsRecordHeader = 6;  // key, length in words, stores
constexpr std::size_t kPsMaxWords = (kPsRecordSize - kPsRecordHeader) / 2;  // 118
// The hosts check the word count against the C interface's copy of it before they call.
static_assert(kPsMaxWords == kPskeyMaxWords, "the PS record and the hosts' limit disagree");
using PsRecord = std::array<std::uint8_t, kPsRecordSize>;

// A read asks for the largest value a record can carry.
PsRecord pack_ps_read(std::uint16_t key);
// Fails with InvalidArgument when the words do not fit one record.
Result<PsRecord> pack_ps_write(std::uint16_t key, std::span<const std::uint16_t> words);
PsRecord pack_ps_clear(std::uint16_t key);

// Checks the key and the length word of a PS answer and returns the value's bytes.
Result<std::span<const std::uint8_t>> check_ps_response(std::uint16_t key,
                                                        std::span<const std::uint8_t> payload);
// Checks a PS answer and stores its value into the buffer, which is left untouched unless the
// whole value fits. Returns the number of words stored.
Result<std::uint32_t> unpack_ps_value(std::uint16_t key, std::span<const std::uint8_t> payload,
                                      std::span<std::uint16_t> buffer);

Result<std::uint32_t> read_pskey(BtmDevice& device, std::uint16_t key,
                                 std::span<std::uint16_t> buffer);
Status write_pskey(BtmDevice& device, std::uint16_t key, std::span<const std::uint16_t> values);
Status clear_pskey(BtmDevice& device, std::uint16_t key);

}  // namespace velk::btm
