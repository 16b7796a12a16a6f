#include "sim/vexo/sqif_mode.h"

#include <algorithm>

#include "sim/bus.h"
#include "sim/vexo/descriptors.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {

SqifMode::SqifMode(Vexo& chip) : ModeModel(chip) {}

libusb_device_descriptor SqifMode::device_descriptor() const {
  return identity(kChipVendor, kSqifProduct, chip_.options().bcd_device, /*with_strings*/ false);
}

Bytes SqifMode::config_descriptor() const {
  return hid_loader_config(report_descriptor());
}

Bytes SqifMode::report_descriptor() const {
  return vendor_report_descriptor(
      {{kCommandReport, ReportSpec::Output, std::uint16_t{kMaxReport - 1}},
       {kStatusReport, ReportSpec::Input, 2}});
}

int SqifMode::hid_write(std::span<const std::uint8_t> report) {
  if (report.size() < 2 || report.size() > kMaxReport || report[0] != kCommandReport) return -1;
  SqifLoaderFaults& faults = chip_.faults().sqif;
  if (VexoFaults::take(faults.short_writes)) {
    return std::clamp(faults.short_write_bytes, 0, static_cast<int>(report.size()));
  }
  const std::uint8_t code = report[1];
  const auto payload = report.subspan(2);
  if (code == kReset) {
    // The loader puts the mode key back before restarting, so the chip boots its firmware.
    chip_.set_pskey(kModePsKey, {0});
    chip_.restart(std::nullopt, chip_.timings().command_restart);
    return static_cast<int>(report.size());
  }
  if (VexoFaults::take(faults.read_errors)) {
    // hidapi's read failures are the bus's to give; this one hits the status wait that follows.
    bus().faults().add(
        {.match = {.kind = RequestKind::HidRead, .device = &chip_}, .action = Action::stall()});
  }
  if (faults.fail_command == code) {
    answer(code, kFailed);
    return static_cast<int>(report.size());
  }
  switch (code) {
    case kPing:
      answer(code, kDone);
      break;
    case kErase: {
      // Its answer comes when the erase ends; reads until then see busy.
      const std::uint8_t status = erase(payload);
      if (status != kDone) answer(code, status);
      break;
    }
    case kWrite:
      answer(code, write(payload));
      break;
    case kManifest:
      answer(code, manifest(payload));
      break;
    default:
      answer(code, kFailed);
      break;
  }
  return static_cast<int>(report.size());
}

std::optional<Bytes> SqifMode::hid_read() {
  SqifLoaderFaults& faults = chip_.faults().sqif;
  if (erase_ends_) {
    if (bus().now() < *erase_ends_) return Bytes{kStatusReport, kErase, kBusy};
    erase_ends_.reset();
    answer(kErase, kDone);
  }
  if (statuses_.empty() || bus().now() < statuses_.front().ready) return std::nullopt;
  if (VexoFaults::take(faults.busy_reads)) {
    return Bytes{kStatusReport, statuses_.front().report[1], kBusy};
  }
  Bytes report = std::move(statuses_.front().report);
  statuses_.pop_front();
  return report;
}

std::uint8_t SqifMode::erase(std::span<const std::uint8_t> payload) {
  // Partition 0 is the only one this loader knows.
  if (payload.size() != 1 || payload[0] != 0x00 || erase_ends_) return kFailed;
  chip_.sqif_flash().assign(kFlashSize, kErased);
  erase_ends_ = bus().now() + kEraseTime;
  erased_ = true;
  written_ = 0;
  manifested_ = false;
  return kDone;
}

std::uint8_t SqifMode::write(std::span<const std::uint8_t> body) {
  if (body.size() < 2) return kFailed;
  const std::size_t length = static_cast<std::size_t>(body[0] << 8 | body[1]);
  const auto data = body.subspan(2);
  if (length == 0 || length != data.size()) return kFailed;
  if (!erased_ || erase_ends_ || manifested_) return kFailed;
  Bytes& flash = chip_.sqif_flash();
  if (written_ + length > flash.size()) return kFailed;
  // Programming only clears bits, as on a NOR flash; after the erase that is a plain copy.
  for (std::size_t i = 0; i < length; ++i) flash[written_ + i] &= data[i];
  written_ += length;
  return kDone;
}

std::uint8_t SqifMode::manifest(std::span<const std::uint8_t> payload) {
  if (payload.size() != 1 || payload[0] != 0x03 || erase_ends_) return kFailed;
  manifested_ = true;
  return kDone;
}

void SqifMode::answer(std::uint8_t command, std::uint8_t status) {
  SqifLoaderFaults& faults = chip_.faults().sqif;
  const auto now = bus().now();
  const auto ready = now + faults.silence;
  if (faults.silence > std::chrono::nanoseconds::zero()) {
    // Wakes a read that waits, so the answer arrives when the silence ends, not at its timeout.
    bus().after(faults.silence, [] {});
    faults.silence = {};
  }
  if (VexoFaults::take(faults.foreign_statuses)) {
    const std::uint8_t other = command == kErase ? kWrite : kErase;
    statuses_.push_back({ready, {kStatusReport, other, kDone}});
  }
  if (VexoFaults::take(faults.invalid_statuses)) status = faults.invalid_status_value;
  statuses_.push_back({ready, {kStatusReport, command, status}});
}

}  // namespace sim::vexo
