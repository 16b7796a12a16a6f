// A virtual Vexo: one chip with its persistent store, which shows itself on the virtual bus in
// the identity of the mode it booted into. Changing mode means restarting: the chip drops off
// the bus, and after its restart time it is plugged in again, now running another mode's model.
//
//   auto vexo = sim::vexo::Vexo::plug();                   // BTM mode, 0x7A11:0x1300
//   auto dfu = sim::vexo::Vexo::plug({.mode = sim::vexo::Mode::Dfu});
//   vexo->set_pskey(0x02AD, {5});        // behind the firmware's back: no restart
//   vexo->faults().lost_responses = 1;   // every switch is in faults.h
//   vexo->timings().restart = 10s;       // the timeline is in options.h
//   ... code under test, in virtual time ...
//   EXPECT_EQ(vexo->mode(), sim::vexo::Mode::Sqif);
//   EXPECT_EQ(vexo->bccmd_requests().back().variable, 0x7003);
//
// What the chip does on its own: a Cold_Reset restarts it into the mode the mode key selects; a
// mode-key write of 5 or 1 restarts it into the SQIF or DSP loader shortly after the answer;
// DFU_DETACH restarts it into the DFU loader, by itself or on the next USB reset; the loaders'
// restart commands put the key back to 0 and restart into the firmware; a USB reset ends DFU
// mode. Two devices on the bus are simply two Vexo instances.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/device.h"
#include "sim/vexo/hci_frames.h"
#include "sim/vexo/identity.h"
#include "sim/vexo/mode_model.h"
#include "sim/vexo/options.h"
#include "sim/vexo/persistent_store.h"

namespace sim::vexo {

class BtmMode;

class Vexo : public Device, public std::enable_shared_from_this<Vexo> {
 public:
  // A Vexo must be owned by a shared_ptr before it is plugged in: create() or plug().
  explicit Vexo(VexoOptions options = {});
  ~Vexo() override;

  static std::shared_ptr<Vexo> create(VexoOptions options = {});
  // Creates one and plugs it into the bus at once, in `options.mode`.
  static std::shared_ptr<Vexo> plug(VexoOptions options = {});

  // Into the bus now, in the current mode. Does nothing while it is plugged in.
  void plug_in();
  // Pulls the cable: off the bus now, and any restart under way is abandoned.
  void unplug();
  // Power loss: off the bus now, back after the restart time in the mode the key selects.
  void power_cycle();

  Mode mode() const { return mode_; }
  bool on_bus() const;
  // How many times the chip came back on the bus after a restart.
  unsigned boots() const { return boots_; }

  // The key accessors take the bus's lock, so a test may use them while the code under test
  // runs on another thread; store() is for set-up and inspection between calls.
  PersistentStore& store() { return store_; }
  std::optional<Words> pskey(std::uint16_t key) const;
  void set_pskey(std::uint16_t key, Words value);
  void clear_pskey(std::uint16_t key);

  // The chip's non-volatile memories, kept across restarts: the Bluetooth-module firmware image
  // that the DFU loader writes and reads, the serial flash, and the DSP flash.
  Bytes& btm_firmware() { return btm_firmware_; }
  // False from the first block of a download until its image is manifested; the chip then
  // boots into its DFU loader whatever the mode key says (a DFU-only device).
  bool& firmware_valid() { return firmware_valid_; }
  Bytes& sqif_flash() { return sqif_flash_; }
  Bytes& dsp_flash();

  VexoFaults& faults() { return options_.faults; }
  VexoTimings& timings() { return options_.timings; }
  const VexoOptions& options() const { return options_; }

  // Every BCCMD request the chip received, in order, across restarts.
  const std::vector<hci::BccmdMessage>& bccmd_requests() const { return requests_; }
  // The Bluetooth-module firmware while it runs, else null.
  BtmMode* btm();

  // For the mode models. Schedules a restart: the chip goes down after `after` and boots into
  // `into`, or into the mode that the mode key selects at boot time. A later restart replaces
  // one that has not happened yet.
  void restart(std::optional<Mode> into, std::chrono::nanoseconds after);
  Mode mode_selected_by_key() const;
  void record(const hci::BccmdMessage& request) { requests_.push_back(request); }

  // The device as the bus sees it: the running mode's model answers.
  libusb_device_descriptor device_descriptor() const override;
  Bytes config_descriptor() const override;
  int control_in(const ControlSetup& setup, std::span<std::uint8_t> data) override;
  int control_out(const ControlSetup& setup, std::span<const std::uint8_t> data) override;
  std::optional<Bytes> interrupt_in(std::uint8_t endpoint) override;
  int claim_interface(int number) override;
  int release_interface(int number) override;
  int usb_reset() override;
  std::string kernel_driver(int number) const override;
  bool hid() const override;
  HidInfo hid_info() const override;
  Bytes hid_report_descriptor() const override;
  int hid_write(std::span<const std::uint8_t> report) override;
  std::optional<Bytes> hid_read() override;
  int hid_send_feature(std::span<const std::uint8_t> report) override;
  int hid_get_feature(std::span<std::uint8_t> report) override;

 private:
  void go_down(std::optional<Mode> into);
  void boot(Mode mode);
  std::unique_ptr<ModeModel> make_model(Mode mode);

  VexoOptions options_;
  PersistentStore store_;
  Mode mode_;
  std::unique_ptr<ModeModel> model_;
  // Bumped by every restart, so that a superseded one finds itself stale when its time comes.
  unsigned epoch_ = 0;
  unsigned boots_ = 0;
  std::vector<hci::BccmdMessage> requests_;
  Bytes btm_firmware_;
  bool firmware_valid_ = true;
  Bytes sqif_flash_;
  Bytes dsp_flash_;  // 4 MiB, erased, made on first use
};

}  // namespace sim::vexo
