#include "velk/src/device/btm/pskey.h"

#include "velk/src/device/btm/bccmd.h"
#include "velk/src/util/byte_order.h"

namespace velk::btm {
namespace {

// The record's key must answer the key asked for.
Status check_key(std::uint16_t key, std::span<const std::uint8_t> payload) {
  // An answer that passed the frame checks carries at least eight payload bytes.
  if (payload.size() < kPsRecordHeader) throw InternalFailure("PS answer shorter than its header");
  const std::uint16_t received = load_le16(payload, 0);
  if (received != key)
    return fail(ErrorKind::DeviceError, "invalid PSKey ID: {:#x} != {:#x}", received, key);
  return {};
}

}  // namespace

PsRecord pack_ps_read(std::uint16_t key) {
  PsRecord record{};
  store_le16(record, 0, key);
  store_le16(record, 2, static_cast<std::uint16_t>(kPsMaxWords));
  return record;  // stores 0, data zero
}

Result<PsRecord> pack_ps_write(std::uint16_t key, std::span<const std::uint16_t> words) {
  // Compared in words: the doubled count could wrap on a 32-bit host and slip through.
  if (words.size() > kPsMaxWords) {
    return fail(ErrorKind::InvalidArgument, "supplied buffer too large: {:#x} > {:#x}",
                2 * static_cast<std::uint64_t>(words.size()), 2 * kPsMaxWords);
  }
  PsRecord record{};
  store_le16(record, 0, key);
  store_le16(record, 2, static_cast<std::uint16_t>(words.size()));
  for (std::size_t i = 0; i < words.size(); ++i)
    store_le16(record, kPsRecordHeader + 2 * i, words[i]);
  return record;
}

PsRecord pack_ps_clear(std::uint16_t key) {
  PsRecord record{};
  store_le16(record, 0, key);
  return record;
}

Result<std::span<const std::uint8_t>> check_ps_response(std::uint16_t key,
                                                        std::span<const std::uint8_t> payload) {
  VELK_TRY(check_key(key, payload));
  const std::size_t words = load_le16(payload, 2);
  if (2 * words + kPsRecordHeader > payload.size()) {
    return fail(ErrorKind::DeviceError, "invalid PSKey length: {:#x} > {:#x}",
                2 * words + kPsRecordHeader, payload.size());
  }
  return payload.subspan(kPsRecordHeader, 2 * words);
}

Result<std::uint32_t> unpack_ps_value(std::uint16_t key, std::span<const std::uint8_t> payload,
                                      std::span<std::uint16_t> buffer) {
  VELK_TRY_ASSIGN(value, check_ps_response(key, payload));
  const std::size_t words = value.size() / 2;
  if (words > buffer.size()) {
    return fail(ErrorKind::InvalidArgument, "supplied buffer too small: {:#x} > {:#x}", words,
                buffer.size());
  }
  for (std::size_t i = 0; i < words; ++i) buffer[i] = load_le16(value, 2 * i);
  return static_cast<std::uint32_t>(words);
}

Result<std::uint32_t> read_pskey(BtmDevice& device, std::uint16_t key,
                                 std::span<std::uint16_t> buffer) {
  HciBuffer packet;
  const PsRecord record = pack_ps_read(key);
  VELK_TRY_ASSIGN(length,
                  build_bccmd(device.sequence(), BccmdType::GetReq, kVarPs, record, packet));
  VELK_TRY_ASSIGN(payload, bccmd_exchange(device, kVarPs, packet, length, "PS request"));
  return unpack_ps_value(key, payload, buffer);
}

Status write_pskey(BtmDevice& device, std::uint16_t key, std::span<const std::uint16_t> values) {
  VELK_TRY_ASSIGN(record, pack_ps_write(key, values));  // refused before anything is sent
  HciBuffer packet;
  VELK_TRY_ASSIGN(length,
                  build_bccmd(device.sequence(), BccmdType::SetReq, kVarPs, record, packet));
  VELK_TRY_ASSIGN(payload, bccmd_exchange(device, kVarPs, packet, length, "PS request"));
  // The chip echoes the value; only the key and the length are held against the request.
  VELK_TRY(check_ps_response(key, payload));
  return {};
}

Status clear_pskey(BtmDevice& device, std::uint16_t key) {
  HciBuffer packet;
  const PsRecord record = pack_ps_clear(key);
  VELK_TRY_ASSIGN(
      length, build_bccmd(device.sequence(), BccmdType::SetReq, kVarPsClrStores, record, packet));
  VELK_TRY_ASSIGN(payload,
                  bccmd_exchange(device, kVarPsClrStores, packet, length, "PS_Clr_Stores request"));
  return check_key(key, payload);
}

}  // namespace velk::btm
