#include "sim/vexo/vexo.h"

#include <algorithm>
#include <utility>

#include "sim/bus.h"
#include "sim/descriptors.h"
#include "sim/usb/config_parser.h"
#include "sim/vexo/btm_mode.h"
#include "sim/vexo/dfu_mode.h"
#include "sim/vexo/dsp_mode.h"
#include "sim/vexo/sqif_mode.h"

namespace sim::vexo {

std::string_view name(Mode mode) {
  switch (mode) {
    case Mode::Btm:
      return "BTM";
    case Mode::Dfu:
      return "DFU";
    case Mode::Sqif:
      return "SQIF";
    case Mode::Dsp:
      return "DSP";
  }
  return "?";
}

Vexo::Vexo(VexoOptions options) : options_(std::move(options)), mode_(options_.mode) {
  model_ = make_model(mode_);
}

Vexo::~Vexo() = default;

std::shared_ptr<Vexo> Vexo::create(VexoOptions options) {
  return std::make_shared<Vexo>(std::move(options));
}

std::shared_ptr<Vexo> Vexo::plug(VexoOptions options) {
  auto vexo = create(std::move(options));
  vexo->plug_in();
  return vexo;
}

void Vexo::plug_in() {
  auto guard = bus().lock();
  if (!on_bus()) bus().plug(shared_from_this());
}

void Vexo::unplug() {
  auto guard = bus().lock();
  ++epoch_;
  if (on_bus()) bus().unplug(*this);
}

void Vexo::power_cycle() {
  auto guard = bus().lock();
  ++epoch_;
  go_down(std::nullopt);
}

std::optional<Words> Vexo::pskey(std::uint16_t key) const {
  auto guard = bus().lock();
  return store_.read(key);
}

void Vexo::set_pskey(std::uint16_t key, Words value) {
  auto guard = bus().lock();
  store_.write(key, std::move(value));
}

void Vexo::clear_pskey(std::uint16_t key) {
  auto guard = bus().lock();
  store_.clear(key);
}

bool Vexo::on_bus() const {
  return bus().plugged(*this);
}

Bytes& Vexo::dsp_flash() {
  if (dsp_flash_.empty()) dsp_flash_.assign(std::size_t{4} << 20, 0xFF);
  return dsp_flash_;
}

BtmMode* Vexo::btm() {
  return mode_ == Mode::Btm ? static_cast<BtmMode*>(model_.get()) : nullptr;
}

void Vexo::restart(std::optional<Mode> into, std::chrono::nanoseconds after) {
  const unsigned epoch = ++epoch_;
  // The events hold the chip: while it is off the bus nobody else may.
  bus().after(after, [self = shared_from_this(), epoch, into] {
    if (self->epoch_ == epoch) self->go_down(into);
  });
}

Mode Vexo::mode_selected_by_key() const {
  if (!firmware_valid_) return Mode::Dfu;
  const auto key = store_.read(kModePsKey);
  if (key && key->size() == 1) {
    if ((*key)[0] == kModeKeySqif) return Mode::Sqif;
    if ((*key)[0] == kModeKeyDsp) return Mode::Dsp;
  }
  return Mode::Btm;
}

void Vexo::go_down(std::optional<Mode> into) {
  if (model_) model_->stopping();
  if (on_bus()) bus().unplug(*this);
  const unsigned epoch = ++epoch_;
  if (std::exchange(options_.faults.never_returns, false)) return;
  if (auto forced = std::exchange(options_.faults.returns_in, std::nullopt)) into = forced;
  const auto down_for = options_.timings.restart + options_.faults.slow_restart;
  bus().after(down_for, [self = shared_from_this(), epoch, into] {
    if (self->epoch_ != epoch) return;
    self->boot(into.value_or(self->mode_selected_by_key()));
    self->plug_in();
  });
}

void Vexo::boot(Mode mode) {
  mode_ = mode;
  model_ = make_model(mode);
  ++boots_;
}

std::unique_ptr<ModeModel> Vexo::make_model(Mode mode) {
  switch (mode) {
    case Mode::Btm:
      return std::make_unique<BtmMode>(*this);
    case Mode::Dfu:
      return std::make_unique<DfuMode>(*this);
    case Mode::Sqif:
      return std::make_unique<SqifMode>(*this);
    case Mode::Dsp:
      return std::make_unique<DspMode>(*this);
  }
  return nullptr;
}

libusb_device_descriptor Vexo::device_descriptor() const {
  return model_->device_descriptor();
}
Bytes Vexo::config_descriptor() const {
  return model_->config_descriptor();
}

int Vexo::control_in(const ControlSetup& setup, std::span<std::uint8_t> data) {
  if (auto n = standard_request(setup, data, model_->device_descriptor(),
                                model_->config_descriptor(), model_->strings())) {
    return *n;
  }
  if (HostileAnswers* hostile = options_.faults.hostile) {
    auto answer = hostile->next(bus().now());
    if (!answer) return LIBUSB_ERROR_TIMEOUT;
    const std::size_t n = std::min(answer->size(), data.size());
    std::copy_n(answer->begin(), n, data.begin());
    return static_cast<int>(n);
  }
  return model_->control_in(setup, data);
}
int Vexo::control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) {
  // The chip's USB stack answers two standard requests itself. Every interface has only its
  // default setting, and SET_INTERFACE stalls, as the USB standard allows such a device; an
  // endpoint's halt is cleared (its data toggle is all there is to reset).
  constexpr std::uint8_t kToInterface = 0x01;
  constexpr std::uint8_t kToEndpoint = 0x02;
  constexpr std::uint8_t kClearFeature = 0x01;
  constexpr std::uint8_t kSetInterface = 0x0B;
  constexpr std::uint16_t kEndpointHalt = 0;
  if (setup.request_type == kToInterface && setup.request == kSetInterface) {
    return LIBUSB_ERROR_PIPE;
  }
  if (setup.request_type == kToEndpoint && setup.request == kClearFeature) {
    const bool known = usb::endpoint_addresses(model_->config_descriptor())
                           .contains(static_cast<std::uint8_t>(setup.index));
    return setup.value == kEndpointHalt && known && data.empty() ? 0 : LIBUSB_ERROR_PIPE;
  }
  return model_->control_out(setup, data);
}
std::optional<Bytes> Vexo::interrupt_in(std::uint8_t endpoint) {
  if (HostileAnswers* hostile = options_.faults.hostile) return hostile->next(bus().now());
  return model_->interrupt_in(endpoint);
}
int Vexo::claim_interface(int number) {
  return model_->has_interface(number) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}
int Vexo::release_interface(int number) {
  return model_->has_interface(number) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}
int Vexo::usb_reset() {
  return model_->usb_reset();
}
std::string Vexo::kernel_driver(int number) const {
  // A host's HID driver takes the loaders' HID interface; its Bluetooth driver may take the
  // firmware's HCI interface.
  if (model_->hid()) return number == model_->hid_info().interface_number ? "usbhid" : "";
  if (mode_ == Mode::Btm && number == BtmMode::kHciInterface) return options_.hci_kernel_driver;
  return {};
}
bool Vexo::hid() const {
  return model_->hid();
}
HidInfo Vexo::hid_info() const {
  return model_->hid_info();
}
Bytes Vexo::hid_report_descriptor() const {
  return model_->report_descriptor();
}
int Vexo::hid_write(std::span<const std::uint8_t> report) {
  return model_->hid_write(report);
}
std::optional<Bytes> Vexo::hid_read() {
  if (HostileAnswers* hostile = options_.faults.hostile) return hostile->next(bus().now());
  return model_->hid_read();
}
int Vexo::hid_send_feature(std::span<const std::uint8_t> report) {
  return model_->hid_send_feature(report);
}
int Vexo::hid_get_feature(std::span<std::uint8_t> report) {
  if (HostileAnswers* hostile = options_.faults.hostile) {
    // A feature report has no timeout: silence is the failed transfer.
    auto answer = hostile->next(bus().now());
    if (!answer) return -1;
    const std::size_t n = std::min(answer->size(), report.size());
    std::copy_n(answer->begin(), n, report.begin());
    return static_cast<int>(n);
  }
  return model_->hid_get_feature(report);
}

}  // namespace sim::vexo
