// The real file system behind velkctl's checks, and the writing of its output files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command_line.h"

namespace velkctl {

class SystemFiles : public Files {
 public:
  std::expected<std::vector<std::uint8_t>, std::string> read(const std::string& path) override;
  std::optional<std::string> cannot_write(const Output& output) override;
};

// Writes the bytes to the output: to standard output, or to a temporary file beside the target
// that then replaces it, so that a failure never leaves half a file under the target's name.
// Returns the reason of a failure.
std::optional<std::string> write_output(const Output& output, std::span<const std::uint8_t> data);

// Copies a file's bytes to standard output.
std::optional<std::string> copy_to_stdout(const std::string& path);

// The name of a new temporary file for velkctl's own use (in the system's temporary folder).
std::string temporary_path(const std::string& tag);

}  // namespace velkctl
