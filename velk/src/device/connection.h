// The open connection to the one device a handle serves: finding it, recognising its mode by
// its USB identity, and moving it between modes by restarting it and waiting for it to return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>

#include "lib/usb/context.h"
#include "velk/src/device/btm/btm_device.h"
#include "velk/src/device/btm/control.h"
#include "velk/src/device/dfu/dfu_device.h"
#include "velk/src/device/dsp/dsp_device.h"
#include "velk/src/device/mode.h"
#include "velk/src/device/mode_ops.h"
#include "velk/src/device/sqif/sqif_device.h"

namespace velk {

// The modes a connection can be in, from BTM on in OperationMode order; NA, holding nothing,
// comes before them. The connection object and the table of operations both follow this list.
template <ModeOps... Ops>
struct ModeList {
  using Device = std::variant<std::monostate, typename Ops::Device...>;
  // The variant's index is the mode: each mode must stand at its own number.
  static constexpr bool numbered() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
      return ((static_cast<std::size_t>(Ops::kIdentity.mode) == I + 1) && ...);
    }
    (std::index_sequence_for<Ops...>{});
  }
};

using Modes = ModeList<btm::BtmOps, dfu::DfuOps, sqif::SqifOps, dsp::DspOps>;
static_assert(Modes::numbered(), "a mode stands at another place than its OperationMode");
using ModeDevice = Modes::Device;

class DeviceConnection {
 public:
  explicit DeviceConnection(const LibraryContext& context) : context_(&context) {}

  // The mode follows from which connection object is held: NA holds none (checked above).
  OperationMode mode() const { return static_cast<OperationMode>(device_.index()); }

  // Finds the device and opens it in the mode in which it shows up. Without waiting: one
  // attempt, no sleep. Waiting: up to 300 attempts, each after a 1 s sleep.
  Status connect(bool wait);

  Status reset();
  Status ensure_btm();
  Status ensure_dfu();
  Status ensure_sqif();
  Status ensure_dsp();
  // The mode number 0 to 4; 0 also when the device no longer answers.
  std::int32_t status();

  // Called with the failure of an operation. One that means the device may have left or
  // restarted (lost on the wire, stalled, timed out) makes the next switch or restart probe the
  // connection first, and find the device again when it does not answer.
  void note_failure(const Error& error);

  btm::BtmDevice& btm() { return std::get<btm::BtmDevice>(device_); }
  dfu::DfuDevice& dfu() { return std::get<dfu::DfuDevice>(device_); }
  sqif::SqifDevice& sqif() { return std::get<sqif::SqifDevice>(device_); }
  dsp::DspDevice& dsp() { return std::get<dsp::DspDevice>(device_); }

 private:
  // Whether the device still answers on the current connection.
  bool probe();
  Status ensure_from_btm(OperationMode wanted);
  // After a failure noted above: keeps the connection if it answers, else finds the device
  // again, waiting, in whatever mode it shows.
  Status revalidate();

  const LibraryContext* context_;
  ModeDevice device_;
  bool suspect_ = false;
};

}  // namespace velk
