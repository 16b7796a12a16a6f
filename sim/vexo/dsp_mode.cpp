#include "sim/vexo/dsp_mode.h"

#include <algorithm>
#include <utility>

#include "sim/bus.h"
#include "sim/vexo/descriptors.h"
#include "sim/vexo/faults.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {
namespace {

// 32-bit fields travel as two little-endian words, the more significant word first.
std::uint32_t split_word_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  const auto word = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at] | (bytes[at + 1] << 8));
  };
  return (word(offset) << 16) | word(offset + 2);
}

void put_split_word(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 16);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 24);
  bytes[offset + 2] = static_cast<std::uint8_t>(value);
  bytes[offset + 3] = static_cast<std::uint8_t>(value >> 8);
}

// CRC-16/UMTS bit by bit, over the bytes in the order they travelled: the loader's own
// computation, independent of the host's table-driven one.
std::uint16_t crc16_umts(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0;
  for (std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (b << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x8005 : crc << 1);
    }
  }
  return crc;
}

std::chrono::nanoseconds per_kib(std::chrono::nanoseconds rate, std::uint32_t bytes) {
  return rate * ((static_cast<std::uint64_t>(bytes) + 1023) / 1024);
}

}  // namespace

DspMode::DspMode(Vexo& chip) : ModeModel(chip) {}

libusb_device_descriptor DspMode::device_descriptor() const {
  return identity(kMakerVendor, kDspProduct, chip_.options().bcd_device, /*with_strings*/ true);
}

Bytes DspMode::config_descriptor() const {
  return hid_loader_config(report_descriptor());
}

Bytes DspMode::report_descriptor() const {
  return vendor_report_descriptor(
      {{kCommandReport, ReportSpec::Feature, std::uint16_t{kCommandReportSize - 1}},
       {kDataReport, ReportSpec::Feature, std::uint16_t{kDataReportSize - 1}}});
}

std::vector<std::u16string> DspMode::strings() const {
  return maker_strings(u"Vexo DSP loader");
}

HidInfo DspMode::hid_info() const {
  HidInfo info;
  info.manufacturer = L"Tavrin Systems";
  info.product = L"Vexo DSP loader";
  return info;
}

bool DspMode::busy() const {
  return bus().now() < busy_until_;
}

void DspMode::busy_for(std::chrono::nanoseconds duration) {
  busy_until_ = bus().now() + duration;
}

bool DspMode::data_fault_due(bool armed) {
  auto& f = chip_.faults().dsp;
  if (!armed) return false;
  if (f.data_reports_before_fault > 0) {
    --f.data_reports_before_fault;
    return false;
  }
  return true;
}

int DspMode::hid_send_feature(std::span<const std::uint8_t> report) {
  if (VexoFaults::take(chip_.faults().dsp.send_feature_failures)) return -1;
  if (report.empty()) return -1;
  if (report[0] == kDataReport) return receive_data(report);
  if (report.size() != kCommandReportSize || report[0] != kCommandReport) return -1;
  if (report[1] != kCommandMarker) return static_cast<int>(report.size());  // not a command
  return command(split_word_at(report, 2), split_word_at(report, 6), split_word_at(report, 10),
                 split_word_at(report, 14));
}

int DspMode::command(std::uint32_t code, std::uint32_t arg1, std::uint32_t arg2,
                     std::uint32_t arg3) {
  if (busy()) return -1;
  Bytes& flash = chip_.dsp_flash();
  switch (code) {
    case kErase: {
      // Only the part of the range that lies in the flash is erased (in 64 bits: the sum may
      // pass 2^32, and size_t has 32 bits on the product's platform).
      const std::uint64_t first = std::min<std::uint64_t>(arg1, flash.size());
      const std::uint64_t last =
          std::min<std::uint64_t>(static_cast<std::uint64_t>(arg1) + arg2, flash.size());
      std::fill(flash.begin() + static_cast<std::ptrdiff_t>(first),
                flash.begin() + static_cast<std::ptrdiff_t>(last), 0xFF);
      transfer_.reset();
      status_ = kReady;
      busy_for(per_kib(kErasePerKiB, static_cast<std::uint32_t>(last - first)));
      break;
    }
    case kRead:
    case kWrite:
      transfer_ = Transfer{code, arg1, arg2, arg3, 0, {}};
      status_ = kReady;
      break;
    case kWriteCheck:
      write_check(arg1, arg2, arg3);
      break;
    case kReset:
      // The loader puts the mode key back before restarting, so the chip boots its firmware.
      chip_.set_pskey(kModePsKey, {0});
      chip_.restart(std::nullopt, chip_.timings().command_restart);
      break;
    default:
      break;  // unknown commands are ignored
  }
  return static_cast<int>(kCommandReportSize);
}

void DspMode::write_check(std::uint32_t address, std::uint32_t count, std::uint32_t crc) {
  Bytes& flash = chip_.dsp_flash();
  const auto transfer = std::exchange(transfer_, std::nullopt);
  // The check must name the write it closes, after all of that write's bytes have arrived.
  const bool complete = transfer && transfer->command == kWrite && transfer->address == address &&
                        transfer->count == count && transfer->crc == crc &&
                        transfer->received.size() >= count &&
                        static_cast<std::uint64_t>(address) + count <= flash.size();
  if (!complete || (crc >> 16) != 0 ||
      VexoFaults::take(chip_.faults().dsp.crc_error_on_write_check)) {
    status_ = kCrcError;
    return;
  }
  const auto data = std::span(transfer->received).first(count);
  if (crc16_umts(data) != crc) {
    status_ = kCrcError;
    return;
  }
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    flash[address + i] = data[i + 1];
    flash[address + i + 1] = data[i];
  }
  status_ = kReady;
  busy_for(per_kib(kProgramPerKiB, count));
}

int DspMode::receive_data(std::span<const std::uint8_t> report) {
  if (busy() || !transfer_ || transfer_->command != kWrite || transfer_->moved >= transfer_->count)
    return -1;
  if (report.size() != kDataReportSize) return -1;
  auto& f = chip_.faults().dsp;
  std::size_t taken = report.size();
  Bytes chunk(report.begin() + 2, report.end());
  const bool due = data_fault_due(f.short_data_reports != 0 || f.corrupt_data_reports != 0);
  if (due && VexoFaults::take(f.short_data_reports)) {
    taken = std::min(f.short_data_length, report.size());
    chunk.resize(taken > 2 ? taken - 2 : 0);
  } else if (due && VexoFaults::take(f.corrupt_data_reports)) {
    chunk[0] ^= 0x01;
  }
  const std::size_t n = std::min<std::size_t>(chunk.size(), transfer_->count - transfer_->moved);
  transfer_->received.insert(transfer_->received.end(), chunk.begin(),
                             chunk.begin() + static_cast<std::ptrdiff_t>(n));
  transfer_->moved += std::min(kDataChunk, transfer_->count - transfer_->moved);
  return static_cast<int>(taken);
}

int DspMode::hid_get_feature(std::span<std::uint8_t> report) {
  if (VexoFaults::take(chip_.faults().dsp.get_feature_failures)) return -1;
  if (report.empty()) return -1;
  if (report[0] == kCommandReport) return send_status(report);
  if (report[0] == kDataReport) return send_data(report);
  return -1;
}

int DspMode::send_status(std::span<std::uint8_t> report) {
  auto& f = chip_.faults().dsp;
  std::uint8_t status[kCommandReportSize] = {kCommandReport};
  const bool forced_busy = VexoFaults::take(f.busy_status_reads);
  put_split_word(status, 2, forced_busy || busy() ? kBusy : status_);
  if (VexoFaults::take(f.status_header_errors)) status[0] = kDataReport;
  std::size_t n = std::min(report.size(), kCommandReportSize);
  if (VexoFaults::take(f.short_status_reads)) n = std::min(n, f.short_status_length);
  std::copy_n(status, n, report.begin());
  return static_cast<int>(n);
}

int DspMode::send_data(std::span<std::uint8_t> report) {
  if (busy() || !transfer_ || transfer_->command != kRead || transfer_->moved >= transfer_->count)
    return -1;
  const Bytes& flash = chip_.dsp_flash();
  Bytes out(kDataReportSize, 0);
  out[0] = kDataReport;
  // Beyond the end of the flash the loader reads erased bytes.
  for (std::size_t i = 0; i < kDataChunk; ++i) {
    const std::uint64_t at =
        static_cast<std::uint64_t>(transfer_->address) + transfer_->moved + (i ^ 1);
    out[2 + i] = at < flash.size() ? flash[at] : 0xFF;
  }
  transfer_->moved += kDataChunk;
  std::size_t n = std::min(report.size(), kDataReportSize);
  auto& f = chip_.faults().dsp;
  if (data_fault_due(f.short_data_reports != 0) && VexoFaults::take(f.short_data_reports)) {
    n = std::min(n, f.short_data_length);
  }
  std::copy_n(out.begin(), n, report.begin());
  return static_cast<int>(n);
}

}  // namespace sim::vexo
