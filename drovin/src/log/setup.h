#pragma once

#include <spdlog/common.h>
#include <spdlog/logger.h>

#include <memory>
#include <string_view>

#include "drovin/src/log/filter.h"

namespace drovin::log {

// The installer's only log target.
inline constexpr std::string_view kWdiTarget = "drovin::wdi";

// "auto", "always" or "never"; anything else reads as "auto".
spdlog::color_mode parse_style(std::string_view style);

// Sets up the log from "DROVIN_LOG" (default "info") and "DROVIN_LOG_STYLE" (default
// "auto"), writing to standard error. Directives it cannot read are reported there.
void init_from_environment();

// Sets up the log with the given filter, writing to `sink`.
void init(const LogFilter& filter, spdlog::sink_ptr sink);

// The log's most verbose enabled level, which libwdi's own log level follows.
Level max_level();

// The logger of `drovin::wdi`; before any set-up, one at info level on standard error.
std::shared_ptr<spdlog::logger> wdi_logger();

}  // namespace drovin::log
