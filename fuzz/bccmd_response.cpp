// Input: the variable asked for (byte 0: PS, PS_Clr_Stores or Cold_Reset), the key asked for
// (bytes 1-2), the capacity of the host's buffer in words (byte 3), then the event the chip
// sent; the request's sequence number is the one the event carries when it is long enough, so
// the checks after it are reached. The event check fails with DeviceError or SpuriousError, or
// hands back bytes 13 to the end, at least 8 of them; the PS record checks then fail with
// DeviceError or InvalidArgument, or store no more words than the buffer holds and the record
// carries.
#include <array>
#include <cstdlib>

#include "velk/src/device/btm/bccmd.h"
#include "velk/src/device/btm/control.h"
#include "velk/src/device/btm/pskey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  using namespace velk::btm;
  if (size < 4) return 0;
  constexpr std::array<std::uint16_t, 3> kVariables{kVarPs, kVarPsClrStores, kVarColdReset};
  const std::uint16_t variable = kVariables[data[0] % kVariables.size()];
  const auto key = static_cast<std::uint16_t>(data[1] | data[2] << 8);
  const std::size_t capacity = data[3];
  const std::span<const std::uint8_t> event(data + 4, size - 4);

  const auto sequence = static_cast<std::uint16_t>(event.size() > 8 ? event[7] | event[8] << 8 : 0);
  auto payload = parse_bccmd_response(variable, sequence, event);
  if (!payload) {
    const ErrorKind kind = payload.error().kind();
    if (kind != ErrorKind::DeviceError && kind != ErrorKind::SpuriousError) std::abort();
    return 0;
  }
  if (payload->data() != event.data() + kBccmdEventHeader ||
      payload->size() != event.size() - kBccmdEventHeader || payload->size() < kBccmdMinPayload)
    std::abort();

  std::array<std::uint16_t, 255> buffer;
  buffer.fill(0xA5A5);
  auto words = unpack_ps_value(key, *payload, std::span(buffer).first(capacity));
  if (!words) {
    const ErrorKind kind = words.error().kind();
    if (kind != ErrorKind::DeviceError && kind != ErrorKind::InvalidArgument) std::abort();
    // A refused value leaves the host's buffer as it was.
    for (std::uint16_t w : buffer)
      if (w != 0xA5A5) std::abort();
    return 0;
  }
  if (*words > capacity || kPsRecordHeader + 2 * std::size_t{*words} > payload->size())
    std::abort();
  return 0;
}
