// What the DSP loader of a Vexo can be told to do wrong, as named switches in one place.
// Counts say how many of the next matching reports are affected; VexoFaults::kAlways (~0u)
// never runs out.
#pragma once

#include <cstddef>

namespace sim::vexo {

struct DspLoaderFaults {
  // Status reads that report busy (0x10009) whatever the loader is doing.
  unsigned busy_status_reads = 0;
  // Write checks that report a CRC error (status 10) although the bytes arrived intact; the
  // sector is not written.
  unsigned crc_error_on_write_check = 0;
  // Data reports from the host that arrive with one bit of their first data byte flipped, as
  // a damaged transfer would; the write check then finds the CRC wrong.
  unsigned corrupt_data_reports = 0;
  // Status reads whose report ID comes back as 0x02.
  unsigned status_header_errors = 0;
  // Status reads that return only `short_status_length` bytes.
  unsigned short_status_reads = 0;
  std::size_t short_status_length = 16;
  // Data reports, read or sent, that move only `short_data_length` bytes.
  unsigned short_data_reports = 0;
  std::size_t short_data_length = 2000;
  // Data reports that pass unharmed before the data faults above start, to aim them at one
  // report in the middle of a sector.
  unsigned data_reports_before_fault = 0;
  // hid_send_feature_report and hid_get_feature_report calls that fail (-1), any report.
  unsigned send_feature_failures = 0;
  unsigned get_feature_failures = 0;
};

}  // namespace sim::vexo
