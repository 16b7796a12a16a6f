#include "velk/src/device/connection.h"

#include <array>
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

// One mode's operations on the connection object the connection holds.
struct ModeRow {
  // Opens the found device and holds its connection object in `into`.
  Status (*open)(FoundDevice found, ModeDevice& into);
  bool (*answers)(ModeDevice& device);
  Status (*restart)(ModeDevice& device);
};

template <ModeOps Ops>
constexpr ModeRow row_of() {
  using Device = typename Ops::Device;
  return {
      .open = [](FoundDevice found, ModeDevice& into) -> Status {
        VELK_TRY_ASSIGN(device, Ops::open(std::move(found)));
        into.emplace<Device>(std::move(device));
        return {};
      },
      .answers = [](ModeDevice& device) { return Ops::answers(std::get<Device>(device)); },
      .restart = [](ModeDevice& device) { return Ops::restart(std::get<Device>(device)); },
  };
}

// NA: nothing to open, nothing answers, nothing to restart.
constexpr ModeRow kNoMode{
    .open = [](FoundDevice, ModeDevice&) -> Status {
      throw InternalFailure("no opening operation for the device's identity");
    },
    .answers = [](ModeDevice&) { return false; },
    .restart = [](ModeDevice&) -> Status { return {}; },
};

template <ModeOps... Ops>
constexpr std::array<ModeRow, 1 + sizeof...(Ops)> table_of(ModeList<Ops...> /*modes*/) {
  return {kNoMode, row_of<Ops>()...};
}

// Indexed by OperationMode, as the held connection object is.
constexpr auto kModeTable = table_of(Modes{});

const ModeRow& row(OperationMode mode) {
  return kModeTable.at(static_cast<std::size_t>(mode));
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

    const ModeRow& opener = row(mode_of(found_descriptor.idVendor, found_descriptor.idProduct));
    if (auto opened = opener.open({list.at(*found), found_descriptor}, device_); !opened) {
      VELK_DEBUG(kDeviceLogTarget, "Failed to switch mode: {}", opened.error().display());
      continue;
    }
    return {};
  }
  return fail(ErrorKind::EnumerationError, "exceeded maximum number of retries ({})", attempts);
}

bool DeviceConnection::probe() {
  return status() != 0;
}

std::int32_t DeviceConnection::status() {
  return row(mode()).answers(device_) ? static_cast<std::int32_t>(mode()) : 0;
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
  VELK_TRY(row(mode()).restart(device_));
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
