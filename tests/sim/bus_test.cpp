// The virtual clock and the bus's event queue.
#include "sim/bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "lib/clock/clock.h"
#include "sim/scenario.h"
#include "sim/scripted_device.h"

using namespace std::chrono_literals;

namespace {

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

TEST_F(BusTest, EventsRunInTimeOrderWhenTheClockPassesThem) {
  std::vector<int> order;
  sim::bus().after(30ms, [&] { order.push_back(3); });
  sim::bus().after(10ms, [&] { order.push_back(1); });
  sim::bus().after(10ms, [&] { order.push_back(2); });  // same time: order of scheduling
  sim::bus().advance(9ms);
  EXPECT_TRUE(order.empty());
  sim::bus().advance(1ms);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  sim::bus().advance(1h);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(sim::bus().now(), 1h + 10ms);
}

TEST_F(BusTest, EventsSeeTheirOwnTimeAndMayScheduleMore) {
  std::vector<sim::Nanos> seen;
  sim::bus().after(5ms, [&] {
    seen.push_back(sim::bus().now());
    sim::bus().after(5ms, [&] { seen.push_back(sim::bus().now()); });
  });
  velk::sleep_for(1s);
  EXPECT_EQ(seen, (std::vector<sim::Nanos>{5ms, 10ms}));
  EXPECT_EQ(velk::monotonic_now(), 1s);
}

TEST_F(BusTest, CancelledEventDoesNotRun) {
  bool ran = false;
  auto id = sim::bus().after(1ms, [&] { ran = true; });
  sim::bus().cancel(id);
  sim::bus().advance(1s);
  EXPECT_FALSE(ran);
}

TEST_F(BusTest, ResetDropsDevicesEventsAndTime) {
  auto dev = std::make_shared<sim::ScriptedDevice>(sim::DeviceSpec{.vendor = 1, .product = 2},
                                                   sim::ConfigSpec{});
  sim::bus().plug(dev);
  bool ran = false;
  sim::bus().after(1ms, [&] { ran = true; });
  sim::bus().advance(1s);
  ran = false;
  sim::bus().after(1ms, [&] { ran = true; });
  sim::reset();
  sim::bus().advance(1s);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(sim::bus().plugged(*dev));
  EXPECT_EQ(sim::bus().now(), 1s);
}

TEST_F(BusTest, ReplugComesBackAfterTheDelay) {
  auto dev = std::make_shared<sim::ScriptedDevice>(sim::DeviceSpec{.vendor = 1, .product = 2},
                                                   sim::ConfigSpec{});
  sim::bus().plug(dev);
  sim::bus().replug(*dev, 2s);
  EXPECT_FALSE(sim::bus().plugged(*dev));
  sim::bus().advance(1999ms);
  EXPECT_FALSE(sim::bus().plugged(*dev));
  sim::bus().advance(1ms);
  EXPECT_TRUE(sim::bus().plugged(*dev));
}

// The preloaded simulator asks for its scenario before the models' registrars may have run.
TEST_F(BusTest, ScenarioAskedForBeforeItsRegistrationLoadsWhenRegistered) {
  int built = 0;
  sim::load_scenario_when_registered("test-late");
  EXPECT_EQ(sim::pending_scenario(), "test-late");
  sim::register_scenario("test-other", [&](sim::Bus&) { built += 100; });
  EXPECT_EQ(built, 0);
  sim::register_scenario("test-late", [&](sim::Bus&) { ++built; });
  EXPECT_EQ(built, 1);
  EXPECT_EQ(sim::pending_scenario(), "");
  EXPECT_TRUE(sim::load_scenario("none"));
  EXPECT_FALSE(sim::load_scenario("no-such-scenario"));
  // Registered already: loaded at once, nothing left pending.
  sim::load_scenario_when_registered("test-late");
  EXPECT_EQ(built, 2);
  EXPECT_EQ(sim::pending_scenario(), "");
}

}  // namespace
