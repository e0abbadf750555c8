#include "download/partscheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "download/releasemanifest.h"

namespace {

constexpr uint64_t kPart = kPartSize;

PartView Waiting() {
  PartView part;
  part.size = kPart;
  return part;
}

// A part on a connection that brings `bytes_per_ms`, started at `started_at`
// and looked at `now`.
PartView Running(double bytes_per_ms, uint64_t started_at, uint64_t now) {
  PartView part;
  part.size = kPart;
  part.started = true;
  part.receiving = true;
  part.started_at = started_at;
  part.received =
      std::min<uint64_t>(kPart, static_cast<uint64_t>(bytes_per_ms * (now - started_at)));
  return part;
}

PartView Ended(uint64_t started_at) {
  PartView part;
  part.size = kPart;
  part.started = true;
  part.received = kPart;
  part.started_at = started_at;
  return part;
}

// Ramps a scheduler of `in_flight` up to all of its connections.
void RampUp(PartScheduler& scheduler, int in_flight) {
  for (int open = scheduler.Allowed(); open < in_flight; ++open) {
    scheduler.SetInProgress(PartScheduler::kRampBytes * open);
    ASSERT_TRUE(scheduler.Ramp());
  }
  ASSERT_EQ(in_flight, scheduler.Allowed());
}

}  // namespace

TEST(PartScheduler, OpensConnectionsOneAfterAnotherAsBytesArrive) {
  PartScheduler scheduler(6);
  EXPECT_EQ(1, scheduler.Allowed());
  scheduler.SetInProgress(PartScheduler::kRampBytes - 1);
  EXPECT_FALSE(scheduler.Ramp());
  EXPECT_EQ(1, scheduler.Allowed());
  scheduler.SetInProgress(PartScheduler::kRampBytes);
  EXPECT_TRUE(scheduler.Ramp());
  EXPECT_EQ(2, scheduler.Allowed());
  // The next one needs twice as much on the two open.
  EXPECT_FALSE(scheduler.Ramp());
  RampUp(scheduler, 6);
  scheduler.SetInProgress(100 * PartScheduler::kRampBytes);
  EXPECT_FALSE(scheduler.Ramp()) << "never more than the build allows";
  EXPECT_EQ(6, scheduler.Allowed());

  // The next run starts with one again.
  scheduler.Begin();
  EXPECT_EQ(1, scheduler.Allowed());
}

TEST(PartScheduler, PushBackHalvesUntilTheHostHasHadAWhile) {
  PartScheduler scheduler(6);
  RampUp(scheduler, 6);
  const uint64_t t = 50000;
  EXPECT_EQ(3, scheduler.PushedBack(t));
  EXPECT_EQ(3, scheduler.Allowed());
  EXPECT_EQ(1, scheduler.PushedBack(t + 10));
  EXPECT_EQ(0, scheduler.PushedBack(t + 20)) << "one connection always stays";
  EXPECT_EQ(1, scheduler.Allowed());

  // No ramp after a push-back, however much arrives.
  scheduler.SetInProgress(50 * PartScheduler::kRampBytes);
  EXPECT_FALSE(scheduler.Ramp());

  // Parts that end during the fallback bring no more connections; after it,
  // each one ended brings one.
  const std::vector<PartView> parts = {Ended(t - 5000), Waiting(), Waiting(), Waiting(),
                                       Waiting(),       Waiting(), Waiting(), Waiting()};
  const uint64_t back = t + 20 + PartScheduler::kFallbackMs;
  scheduler.PartEnded(back - 1, parts, 0, kPart, 100 * kPart);
  EXPECT_EQ(1, scheduler.Allowed());
  scheduler.PartEnded(back, parts, 0, kPart, 100 * kPart);
  EXPECT_EQ(2, scheduler.Allowed());
  scheduler.PartEnded(back + 1, parts, 0, kPart, 100 * kPart);
  EXPECT_EQ(3, scheduler.Allowed());
}

TEST(PartScheduler, AConnectionSlowFromItsSlowStartIsLeftIdleNearTheEnd) {
  // Three connections: two bring 5 MB/s; one opened into a full line never
  // got past 200 KB/s and has just ended its part after 50 s.
  PartScheduler scheduler(3);
  RampUp(scheduler, 3);
  const uint64_t now = 60000;
  std::vector<PartView> parts = {Ended(now - 50000), Running(5000, now - 1000, now),
                                 Running(5000, now - 1500, now), Waiting(), Waiting()};
  const PartScheduler::Ended slow = scheduler.PartEnded(now, parts, 0, kPart, 0);
  EXPECT_TRUE(slow.held);
  EXPECT_GE(slow.with_ms, slow.without_ms + PartScheduler::kWorthMs);
  EXPECT_EQ(2, scheduler.Allowed());

  // A fast connection that ends is kept.
  parts[0] = Ended(now - 2000);
  const PartScheduler::Ended fast = scheduler.PartEnded(now, parts, 0, kPart, 0);
  EXPECT_FALSE(fast.held);
  EXPECT_EQ(2, scheduler.Allowed());
}

TEST(PartScheduler, TheLastPartDoesNotLandOnTheSlowConnection) {
  // One part left, of the last file, not added to the chain yet: on the
  // slow connection it would take 50 s, on a fast one 2 s after its part.
  PartScheduler scheduler(2);
  RampUp(scheduler, 2);
  const uint64_t now = 80000;
  const std::vector<PartView> parts = {Ended(now - 50000), Running(5000, now - 1000, now)};
  EXPECT_TRUE(scheduler.PartEnded(now, parts, 0, kPart, kPart).held);
  EXPECT_EQ(1, scheduler.Allowed()) << "one connection always stays";

  // Nothing left to fetch: nothing to weigh.
  PartScheduler done(2);
  RampUp(done, 2);
  EXPECT_FALSE(done.PartEnded(now, parts, 0, kPart, 0).held);
}

TEST(PartScheduler, FarFromTheEndEveryConnectionWorks) {
  PartScheduler scheduler(3);
  RampUp(scheduler, 3);
  const uint64_t now = 60000;
  const std::vector<PartView> parts = {Ended(now - 50000), Running(5000, now - 1000, now),
                                       Running(5000, now - 1500, now)};
  // More parts to come than four rounds of the connections.
  EXPECT_FALSE(scheduler.PartEnded(now, parts, 0, kPart, 13 * kPart).held);
  EXPECT_TRUE(scheduler.PartEnded(now, parts, 0, kPart, 3 * kPart).held);
}

TEST(PartScheduler, AKillsLeftoversJustStartedTakeTheOthersPace) {
  // A run after a kill fetches only the parts that were missing: it is near
  // its end from the start. A part just started has read nothing yet (a read
  // under Wine returns only with its buffer full): its connection is taken
  // at the pace of the others, and the slow one is still left idle.
  PartScheduler scheduler(3);
  RampUp(scheduler, 3);
  const uint64_t now = 40000;
  std::vector<PartView> parts = {Ended(now - 40000), Running(5000, now - 1000, now),
                                 Running(0, now - 50, now), Waiting()};
  EXPECT_TRUE(scheduler.PartEnded(now, parts, 0, kPart, 0).held);

  // With no pace known at all there is nothing to weigh it against.
  PartScheduler unknown(3);
  RampUp(unknown, 3);
  parts[1] = Running(0, now - 20, now);
  EXPECT_FALSE(unknown.PartEnded(now, parts, 0, kPart, 0).held);
}
