#include "drovin/src/log/filter.h"

#include <algorithm>
#include <array>
#include <utility>

namespace drovin::log {

namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// spdlog orders its levels from trace (most verbose) to off.
bool more_verbose(Level a, Level b) {
  return a < b;
}

}  // namespace

std::optional<Level> parse_level(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, Level>, 6> kLevels{{
      {"off", Level::off},
      {"error", Level::err},
      {"warn", Level::warn},
      {"info", Level::info},
      {"debug", Level::debug},
      {"trace", Level::trace},
  }};
  for (const auto& [text, level] : kLevels) {
    if (equals_ignoring_case(name, text)) return level;
  }
  return std::nullopt;
}

LogFilter LogFilter::parse(std::string_view text, std::vector<std::string>* rejected) {
  LogFilter filter;
  auto reject = [&](std::string_view directive) {
    if (rejected != nullptr) rejected->emplace_back(directive);
  };
  while (!text.empty()) {
    auto comma = text.find(',');
    std::string_view directive = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (directive.empty()) continue;

    auto equals = directive.find('=');
    if (equals == std::string_view::npos) {
      if (auto level = parse_level(directive)) {
        filter.directives_.push_back({std::nullopt, *level});
      } else {
        filter.directives_.push_back({std::string(directive), Level::trace});
      }
      continue;
    }
    std::string_view target = trim(directive.substr(0, equals));
    auto level = parse_level(trim(directive.substr(equals + 1)));
    if (target.empty() || !level || directive.find('=', equals + 1) != std::string_view::npos) {
      reject(directive);
      continue;
    }
    filter.directives_.push_back({std::string(target), *level});
  }
  if (filter.directives_.empty()) filter.directives_.push_back({std::nullopt, Level::err});
  return filter;
}

Level LogFilter::level_for(std::string_view target) const {
  const Directive* best = nullptr;
  for (const auto& directive : directives_) {
    size_t length = directive.target ? directive.target->size() : 0;
    if (directive.target && !target.starts_with(*directive.target)) continue;
    size_t best_length = best && best->target ? best->target->size() : 0;
    // Later directives override earlier ones of the same length.
    if (best == nullptr || length >= best_length) best = &directive;
  }
  return best ? best->level : Level::off;
}

Level LogFilter::max_level() const {
  Level max = Level::off;
  for (const auto& directive : directives_) {
    if (more_verbose(directive.level, max)) max = directive.level;
  }
  return max;
}

}  // namespace drovin::log
