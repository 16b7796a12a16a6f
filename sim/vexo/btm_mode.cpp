#include "sim/vexo/btm_mode.h"

#include <algorithm>

#include "sim/bus.h"
#include "sim/vexo/descriptors.h"
#include "sim/vexo/dfu_requests.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {
namespace {

constexpr std::uint8_t kHciCommandRequestType = 0x20;  // Out, class, device
constexpr std::uint8_t kAppIdle = 0;
constexpr std::uint8_t kAppDetach = 1;

// PS record: key, length in words, stores, then the data words.
constexpr std::size_t kPsRecordHeader = 6;
// An old answer for a key nobody asks about, as left over from before the host connected.
constexpr std::uint16_t kStaleKey = 0x7FFF;
constexpr std::size_t kFullPsPayload = 242;

bool is_ps_variable(std::uint16_t variable) {
  return variable == hci::kVarPs || variable == hci::kVarPsClrStores;
}

}  // namespace

BtmMode::BtmMode(Vexo& chip) : ModeModel(chip) {
  for (unsigned i = 0; i < chip_.faults().stale_events; ++i) {
    Bytes record(kFullPsPayload, 0);
    hci::put_word(record, 0, kStaleKey);
    hci::put_word(record, 2, 1);
    events_.push_back(hci::bccmd_event({.type = hci::kGetResp,
                                        .sequence = static_cast<std::uint16_t>(0xFF00 + i),
                                        .variable = hci::kVarPs,
                                        .status = hci::kOk,
                                        .payload = std::move(record)}));
  }
}

libusb_device_descriptor BtmMode::device_descriptor() const {
  const auto& options = chip_.options();
  return identity(kMakerVendor, options.btm_product, options.bcd_device, /*with_strings*/ true);
}

Bytes BtmMode::config_descriptor() const {
  const VexoFaults& faults = chip_.options().faults;
  InterfaceSpec hci{
      .number = kHciInterface, .cls = /*vendor*/ 0xFF, .subclass = /*HCI*/ 0x01, .protocol = 0x01};
  if (!faults.no_event_endpoint) {
    hci.endpoints.push_back(
        {.address = kEventEndpoint, .attributes = kInterrupt, .max_packet = 16});
  }
  hci.endpoints.push_back({.address = kAclInEndpoint, .attributes = kBulk, .interval = 0});
  hci.endpoints.push_back({.address = kAclOutEndpoint, .attributes = kBulk, .interval = 0});
  ConfigSpec config{.interfaces = {hci}};
  if (!faults.no_runtime_dfu) {
    config.interfaces.push_back({.number = kDfuInterface,
                                 .cls = /*application specific*/ 0xFE,
                                 .subclass = /*DFU*/ 0x01,
                                 .protocol = /*run-time*/ 0x01,
                                 .extra = dfu_functional(chip_.options().runtime_dfu)});
  }
  return build_config(config);
}

std::vector<std::u16string> BtmMode::strings() const {
  return maker_strings(u"Vexo");
}

bool BtmMode::has_interface(int number) const {
  return number == kHciInterface ||
         (number == kDfuInterface && !chip_.options().faults.no_runtime_dfu);
}

int BtmMode::control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) {
  if (setup.request_type == kHciCommandRequestType && setup.request == 0 &&
      setup.index == kHciInterface) {
    hci_command(data);
    return static_cast<int>(data.size());
  }
  if (setup.request_type == dfu_request::kOutRequestType && setup.request == dfu_request::kDetach &&
      setup.index == kDfuInterface && data.empty()) {
    return dfu_detach(setup);
  }
  return LIBUSB_ERROR_PIPE;
}

int BtmMode::control_in(const ControlSetup& setup, std::span<std::uint8_t> data) {
  if (setup.request_type != dfu_request::kInRequestType || setup.index != kDfuInterface) {
    return LIBUSB_ERROR_PIPE;
  }
  const std::uint8_t state = detach_pending() ? kAppDetach : kAppIdle;
  Bytes answer;
  if (setup.request == dfu_request::kGetStatus) {
    answer = {/*bStatus*/ 0, /*bwPollTimeout*/ 0, 0, 0, state, /*iString*/ 0};
  } else if (setup.request == dfu_request::kGetState) {
    answer = {state};
  } else {
    return LIBUSB_ERROR_PIPE;
  }
  const auto n = std::min(answer.size(), data.size());
  std::copy_n(answer.begin(), n, data.begin());
  return static_cast<int>(n);
}

std::optional<Bytes> BtmMode::interrupt_in(std::uint8_t endpoint) {
  if (endpoint == kEventEndpoint && chip_.faults().event_flood) {
    return hci::command_status_event(/*success*/ 0, hci::kVendorOpcode);
  }
  if (endpoint != kEventEndpoint || events_.empty()) return std::nullopt;
  Bytes event = std::move(events_.front());
  events_.pop_front();
  return event;
}

int BtmMode::usb_reset() {
  if (detach_pending()) {
    // The reset ends the detach: the chip comes back as its boot loader, so the old
    // identity is gone and libusb reports that the device must be found again.
    detach_deadline_.reset();
    chip_.restart(Mode::Dfu, chip_.timings().command_restart);
    return LIBUSB_ERROR_NOT_FOUND;
  }
  // A bus reset restarts the HCI transport; whatever was queued for the host is lost.
  detach_deadline_.reset();
  events_.clear();
  return LIBUSB_SUCCESS;
}

bool BtmMode::detach_pending() const {
  return detach_deadline_ && bus().now() <= *detach_deadline_;
}

int BtmMode::dfu_detach(const ControlSetup& setup) {
  if (chip_.options().runtime_dfu.attributes & kWillDetach) {
    chip_.restart(Mode::Dfu, chip_.timings().self_detach);
  } else {
    detach_deadline_ = bus().now() + std::chrono::milliseconds(setup.value);
  }
  return 0;
}

void BtmMode::hci_command(std::span<const std::uint8_t> packet) {
  const hci::Command command = hci::parse_command(packet);
  switch (command.kind) {
    case hci::CommandKind::Malformed:
      push_event(hci::command_status_event(hci::kInvalidParameters, command.opcode));
      return;
    case hci::CommandKind::NotVendor:
      push_event(hci::command_status_event(hci::kUnknownCommand, command.opcode));
      return;
    case hci::CommandKind::NotBccmd:
      return;  // other extension channels are not modelled
    case hci::CommandKind::Bccmd:
      chip_.record(command.message);
      bccmd(command.message);
      return;
  }
}

void BtmMode::bccmd(const hci::BccmdMessage& request) {
  const bool set = request.type == hci::kSetReq;
  if (!set && request.type != hci::kGetReq) {
    return answer(request, hci::kBadRequest, request.payload);
  }
  switch (request.variable) {
    case hci::kVarPs:
      return ps(request);
    case hci::kVarPsClrStores:
      if (!set || request.payload.size() < 2) {
        return answer(request, set ? hci::kBadRequest : hci::kWriteOnly, request.payload);
      }
      chip_.store().clear(hci::word_at(request.payload, 0));
      return answer(request, hci::kOk, request.payload);
    case hci::kVarColdReset:
      if (!set) return answer(request, hci::kWriteOnly, request.payload);
      // The chip restarts before it could answer.
      chip_.restart(std::nullopt, chip_.timings().command_restart);
      return;
    default:
      return answer(request, hci::kNoSuchVarId, request.payload);
  }
}

void BtmMode::ps(const hci::BccmdMessage& request) {
  const Bytes& in = request.payload;
  if (in.size() < kPsRecordHeader) return answer(request, hci::kBadRequest, in);
  const std::uint16_t key = hci::word_at(in, 0);
  const std::uint16_t length = hci::word_at(in, 2);

  if (request.type == hci::kSetReq) {
    if (kPsRecordHeader + 2u * length > in.size()) return answer(request, hci::kTooBig, in);
    Words value(length);
    for (std::size_t i = 0; i < length; ++i) value[i] = hci::word_at(in, kPsRecordHeader + 2 * i);
    const bool selects_loader =
        key == kModePsKey && length == 1 && (value[0] == kModeKeySqif || value[0] == kModeKeyDsp);
    chip_.store().write(key, std::move(value));
    answer(request, hci::kOk, in);
    // The firmware acts on a new mode at once: it restarts into the loader the key selects.
    if (selects_loader) chip_.restart(std::nullopt, chip_.timings().mode_key_restart);
    return;
  }

  const auto value = chip_.store().read(key);
  if (!value) return answer(request, hci::kNoValue, in);
  // The record always names the whole value's length, even when the request left room for only
  // part of its data; the host can tell from the length that the answer is cut short.
  Bytes out(in.size(), 0);
  hci::put_word(out, 0, key);
  hci::put_word(out, 2, static_cast<std::uint16_t>(value->size()));
  hci::put_word(out, 4, hci::word_at(in, 4));
  const std::size_t fits = std::min(value->size(), (out.size() - kPsRecordHeader) / 2);
  for (std::size_t i = 0; i < fits; ++i) hci::put_word(out, kPsRecordHeader + 2 * i, (*value)[i]);
  answer(request, hci::kOk, std::move(out));
}

void BtmMode::answer(const hci::BccmdMessage& request, std::uint16_t status, Bytes payload) {
  VexoFaults& faults = chip_.faults();
  if (faults.event_flood || VexoFaults::take(faults.lost_responses)) return;
  if (VexoFaults::take(faults.spurious_events)) {
    push_event(hci::command_status_event(/*success*/ 0, hci::kVendorOpcode));
  }
  hci::BccmdMessage response{.type = hci::kGetResp,
                             .sequence = request.sequence,
                             .variable = request.variable,
                             .status = status,
                             .payload = std::move(payload)};
  if (VexoFaults::take(faults.wrong_variable_id)) ++response.variable;
  if (is_ps_variable(request.variable) && response.payload.size() >= 2 &&
      VexoFaults::take(faults.wrong_ps_key)) {
    hci::put_word(response.payload, 0,
                  static_cast<std::uint16_t>(hci::word_at(response.payload, 0) + 1));
  }
  if (VexoFaults::take(faults.error_status)) response.status = faults.error_status_value;
  if (VexoFaults::take(faults.late_responses)) {
    // Only this run of the firmware can still send it: a restart loses it.
    bus().after(faults.late_response_delay,
                [chip = chip_.shared_from_this(), model = this, boots = chip_.boots(),
                 event = hci::bccmd_event(response)]() mutable {
                  if (chip->boots() == boots && chip->btm() == model) model->push_event(event);
                });
    return;
  }
  push_event(hci::bccmd_event(response));
}

}  // namespace sim::vexo
