#pragma once

#include <spdlog/common.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drovin::log {

using Level = spdlog::level::level_enum;

// One of "off", "error", "warn", "info", "debug", "trace", in any letter case.
std::optional<Level> parse_level(std::string_view name);

// The filter of the installer's log, written as comma-separated directives: a bare level
// name sets the level of every target, `target=level` the level of the targets whose names
// start with `target`, and a bare target name enables everything for it. The longest
// matching target wins; a target that nothing matches is off.
class LogFilter {
 public:
  // Directives that cannot be read are ignored and handed back in `rejected`. A filter
  // without any readable directive passes errors only.
  static LogFilter parse(std::string_view text, std::vector<std::string>* rejected = nullptr);

  Level level_for(std::string_view target) const;
  // The most verbose level that any directive enables.
  Level max_level() const;

 private:
  struct Directive {
    std::optional<std::string> target;
    Level level;
  };
  std::vector<Directive> directives_;
};

}  // namespace drovin::log
