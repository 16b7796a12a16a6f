#include "velk/src/device/connection.h"

#include <chrono>
#include <optional>
#include <utility>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"
#include "velk/src/device/identity.h"

namespace velk {
namespace {

constexpr int kWaitAttempts = 300;
constexpr Nanos kAttemptPause = std::chrono::seconds(1);
constexpr Nanos kRestartPause = std::chrono::seconds(5);
constexpr usb::Duration kProbeTimeout{1, 0};

std::unexpected<Error> wrong_mode(OperationMode wanted) {
  return fail(ErrorKind::DeviceError, "device did not re-enumerate in {} mode", mode_name(wanted));
}

// Failures after which the device may no longer be where the connection left it.
bool may_have_left(const Error& error) {
  switch (error.kind()) {
    case ErrorKind::LIBUSBError:
      switch (error.usb()) {
        case UsbError::NoDevice:
        case UsbError::Io:
        case UsbError::Pipe:
        case UsbError::Timeout:
        case UsbError::Interrupted:
          return true;
        default:
          return false;
      }
    case ErrorKind::HIDAPIError:
      return error.hid() == HidError::Write || error.hid() == HidError::Read;
    case ErrorKind::Timeout:
      return true;
    default:
      return false;
  }
}

}  // namespace

Status DeviceConnection::connect(bool wait) {
  const int attempts = wait ? kWaitAttempts : 1;
  for (int i = 0; i < attempts; ++i) {
    VELK_DEBUG(kDeviceLogTarget, "Enumerating devices ({}/{})", i, attempts);
    if (i != 0 || wait) sleep_for(kAttemptPause);
    if (probe()) {
      VELK_DEBUG(kDeviceLogTarget, "Old device handle still valid");
      continue;
    }
    device_.emplace<std::monostate>();

    VELK_TRY_ASSIGN(list, usb::UsbDeviceList::get(context_->usb()));
    std::optional<std::size_t> found;
    libusb_device_descriptor found_descriptor{};
    for (std::size_t n = 0; n < list.size(); ++n) {
      auto descriptor = list.at(n).device_descriptor();
      if (!descriptor || mode_of(descriptor->idVendor, descriptor->idProduct) == OperationMode::NA)
        continue;
      // One device only, whatever the mode it is in.
      if (found) return fail(ErrorKind::EnumerationError, "more than one Tavrin device connected");
      found = n;
      found_descriptor = *descriptor;
    }
    if (!found) continue;

    if (auto opened = open(list.at(*found), found_descriptor); !opened) {
      VELK_DEBUG(kDeviceLogTarget, "Failed to switch mode: {}", opened.error().display());
      continue;
    }
    return {};
  }
  return fail(ErrorKind::EnumerationError, "exceeded maximum number of retries ({})", attempts);
}

Status DeviceConnection::open(usb::UsbDevice device, const libusb_device_descriptor& descriptor) {
  switch (mode_of(descriptor.idVendor, descriptor.idProduct)) {
    case OperationMode::BTM: {
      VELK_TRY_ASSIGN(btm, btm::connect_btm(std::move(device)));
      device_.emplace<btm::BtmDevice>(std::move(btm));
      return {};
    }
    case OperationMode::DFU: {
      VELK_TRY_ASSIGN(dfu, dfu::connect_dfu(std::move(device), descriptor));
      device_.emplace<dfu::DfuDevice>(std::move(dfu));
      return {};
    }
    case OperationMode::SQIF: {
      VELK_TRY_ASSIGN(sqif, sqif::connect_sqif());
      device_.emplace<sqif::SqifDevice>(std::move(sqif));
      return {};
    }
    case OperationMode::DSP: {
      VELK_TRY_ASSIGN(dsp, dsp::connect_dsp());
      device_.emplace<dsp::DspDevice>(std::move(dsp));
      return {};
    }
    case OperationMode::NA:
      break;
  }
  throw InternalFailure("no opening operation for the device's identity");
}

bool DeviceConnection::probe() {
  return status() != 0;
}

std::int32_t DeviceConnection::status() {
  bool answers = false;
  switch (mode()) {
    case OperationMode::NA:
      break;
    case OperationMode::BTM:
      answers = btm::btm_is_operational(btm());
      break;
    case OperationMode::DFU:
      answers = dfu::get_status(dfu(), kProbeTimeout).has_value();
      break;
    case OperationMode::SQIF:
      answers = sqif::sqif_ping(sqif());
      break;
    case OperationMode::DSP:
      answers = dsp::dsp_status(dsp()).has_value();
      break;
  }
  return answers ? static_cast<std::int32_t>(mode()) : 0;
}

void DeviceConnection::note_failure(const Error& error) {
  if (may_have_left(error)) suspect_ = true;
}

Status DeviceConnection::revalidate() {
  if (!std::exchange(suspect_, false) || probe()) return {};
  VELK_DEBUG(kDeviceLogTarget, "Old device handle no longer valid, finding the device again");
  // Dropped first: connect would wait for as long as a connection that answers again stays.
  device_.emplace<std::monostate>();
  return connect(/*wait=*/true);
}

Status DeviceConnection::reset() {
  VELK_TRY(revalidate());
  switch (mode()) {
    case OperationMode::NA:
      break;
    case OperationMode::BTM:
      VELK_TRY(btm::cold_reset(btm()));
      break;
    case OperationMode::DFU:
      dfu::reset_dfu(dfu());
      break;
    case OperationMode::SQIF:
      VELK_TRY(sqif::reset_sqif(sqif()));
      break;
    case OperationMode::DSP:
      VELK_TRY(dsp::reset_dsp(dsp()));
      break;
  }
  sleep_for(kRestartPause);
  // The old connection stays until connect finds that it no longer answers.
  return connect(/*wait=*/true);
}

Status DeviceConnection::ensure_btm() {
  VELK_TRY(revalidate());
  if (mode() == OperationMode::BTM) return {};
  VELK_TRY(reset());
  if (mode() != OperationMode::BTM) return wrong_mode(OperationMode::BTM);
  return {};
}

Status DeviceConnection::ensure_dfu() {
  VELK_TRY(revalidate());
  if (mode() == OperationMode::DFU) return {};
  VELK_TRY(ensure_btm());
  VELK_TRY(btm::detach_to_dfu(btm()));
  VELK_TRY(connect(/*wait=*/true));
  if (mode() != OperationMode::DFU) return wrong_mode(OperationMode::DFU);
  return {};
}

Status DeviceConnection::ensure_sqif() {
  return ensure_from_btm(OperationMode::SQIF);
}
Status DeviceConnection::ensure_dsp() {
  return ensure_from_btm(OperationMode::DSP);
}

// SQIF and DSP mode are selected through the mode key, only ever from BTM mode; a device that
// comes back from a restart in any other mode, the wanted one included, has not obeyed.
Status DeviceConnection::ensure_from_btm(OperationMode wanted) {
  VELK_TRY(revalidate());
  if (mode() == wanted) return {};
  VELK_TRY(ensure_btm());
  btm::select_mode(btm(), wanted);
  VELK_TRY(connect(/*wait=*/true));
  if (mode() != wanted) return wrong_mode(wanted);
  return {};
}

}  // namespace velk
