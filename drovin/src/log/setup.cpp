#include "drovin/src/log/setup.h"

#include <fmt/format.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace drovin::log {

namespace {

std::atomic<Level> current_max_level{Level::info};

std::string_view environment(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  return value == nullptr || *value == '\0' ? fallback : std::string_view(value);
}

}  // namespace

spdlog::color_mode parse_style(std::string_view style) {
  if (style == "always") return spdlog::color_mode::always;
  if (style == "never") return spdlog::color_mode::never;
  return spdlog::color_mode::automatic;
}

void init_from_environment() {
  std::vector<std::string> rejected;
  auto filter = LogFilter::parse(environment("DROVIN_LOG", "info"), &rejected);
  for (const auto& directive : rejected) {
    fmt::print(stderr, "warning: invalid logging directive '{}', ignoring it\n", directive);
  }
  auto mode = parse_style(environment("DROVIN_LOG_STYLE", "auto"));
  init(filter, std::make_shared<spdlog::sinks::stderr_color_sink_mt>(mode));
}

void init(const LogFilter& filter, spdlog::sink_ptr sink) {
  std::string name(kWdiTarget);
  auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
  logger->set_level(filter.level_for(kWdiTarget));
  spdlog::drop(name);
  spdlog::register_logger(logger);
  current_max_level = filter.max_level();
}

Level max_level() {
  return current_max_level;
}

std::shared_ptr<spdlog::logger> wdi_logger() {
  if (auto logger = spdlog::get(std::string(kWdiTarget))) return logger;
  init(LogFilter::parse("info"), std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  return spdlog::get(std::string(kWdiTarget));
}

}  // namespace drovin::log
