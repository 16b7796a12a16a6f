#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>

#include "drovin/src/log/filter.h"
#include "drovin/src/log/setup.h"

namespace drovin::log {
namespace {

TEST(LogFilter, BareLevelAppliesToEveryTarget) {
  for (auto [filter_text, level] : {std::pair{"off", Level::off},
                                    {"error", Level::err},
                                    {"warn", Level::warn},
                                    {"Info", Level::info},
                                    {"DEBUG", Level::debug},
                                    {" trace ", Level::trace}}) {
    auto filter = LogFilter::parse(filter_text);
    EXPECT_EQ(filter.level_for("drovin::wdi"), level) << filter_text;
    EXPECT_EQ(filter.level_for("anything"), level) << filter_text;
    EXPECT_EQ(filter.max_level(), level) << filter_text;
  }
}

TEST(LogFilter, TargetDirectivesMatchByPrefixAndTheLongestWins) {
  auto filter = LogFilter::parse("warn,drovin=debug,drovin::wdi=error");
  EXPECT_EQ(filter.level_for("drovin::wdi"), Level::err);
  EXPECT_EQ(filter.level_for("drovin::other"), Level::debug);
  EXPECT_EQ(filter.level_for("elsewhere"), Level::warn);
  EXPECT_EQ(filter.max_level(), Level::debug);

  EXPECT_EQ(LogFilter::parse("drovin::wdi=info,drovin::wdi=trace").level_for("drovin::wdi"),
            Level::trace);
  EXPECT_EQ(LogFilter::parse("drovin::wdi=trace,info").level_for("drovin::wdi"), Level::trace);
}

TEST(LogFilter, TargetsThatNothingEnablesAreOff) {
  auto filter = LogFilter::parse("other=trace");
  EXPECT_EQ(filter.level_for("drovin::wdi"), Level::off);
  EXPECT_EQ(filter.max_level(), Level::trace);
  // A bare name that is not a level enables everything for that target.
  EXPECT_EQ(LogFilter::parse("drovin").level_for("drovin::wdi"), Level::trace);
}

TEST(LogFilter, UnreadableDirectivesAreIgnoredAndReported) {
  std::vector<std::string> rejected;
  auto filter = LogFilter::parse("drovin::wdi=loud, info ,=warn,a=b=c,,", &rejected);
  EXPECT_EQ(rejected, (std::vector<std::string>{"drovin::wdi=loud", "=warn", "a=b=c"}));
  EXPECT_EQ(filter.level_for("drovin::wdi"), Level::info);

  // Nothing readable leaves errors on.
  EXPECT_EQ(LogFilter::parse("x=y").level_for("drovin::wdi"), Level::err);
  EXPECT_EQ(LogFilter::parse("").max_level(), Level::err);
}

TEST(LogSetup, TheWdiLoggerFollowsTheFilter) {
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  init(LogFilter::parse("trace,drovin::wdi=warn"), sink);
  wdi_logger()->info("hidden");
  wdi_logger()->warn("shown");
  EXPECT_EQ(out.str().find("hidden"), std::string::npos);
  EXPECT_NE(out.str().find("[drovin::wdi] [warning] shown"), std::string::npos) << out.str();
  EXPECT_EQ(max_level(), Level::trace);
}

TEST(LogSetup, StyleNames) {
  EXPECT_EQ(parse_style("always"), spdlog::color_mode::always);
  EXPECT_EQ(parse_style("never"), spdlog::color_mode::never);
  EXPECT_EQ(parse_style("auto"), spdlog::color_mode::automatic);
  EXPECT_EQ(parse_style("sometimes"), spdlog::color_mode::automatic);
}

}  // namespace
}  // namespace drovin::log
