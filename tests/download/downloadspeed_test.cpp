#include "download/downloadspeed.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct FakeSource {
  std::atomic<uint64_t> total{0}, done{0}, in_progress{0}, reused{0};
  std::atomic<bool> merging{false};
  DownloadProgress Snapshot() const {
    DownloadProgress figures;
    figures.total_bytes = total;
    figures.bytes_done = done;
    figures.bytes_in_progress = in_progress;
    figures.bytes_reused = reused;
    figures.merging = merging;
    return figures;
  }
};

struct Report {
  uint64_t speed, total, downloaded, elapsed;
  bool operator==(const Report& o) const {
    return speed == o.speed && total == o.total && downloaded == o.downloaded &&
           elapsed == o.elapsed;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& r) {
  return out << "(" << r.speed << ", " << r.total << ", " << r.downloaded << ", " << r.elapsed
             << ")";
}

struct FakeView : ISpeedView {
  std::atomic<bool> paused{false};
  mutable std::mutex lock;
  std::vector<Report> reports;
  void UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded,
                      uint64_t elapsed) override {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back({speed, total, downloaded, elapsed});
  }
  bool IsPaused() const override { return paused; }
  std::vector<Report> Reports() const {
    std::lock_guard<std::mutex> guard(lock);
    return reports;
  }
};

class DownloadSpeedTest : public ::testing::Test {
 protected:
  FakeSource source;
  FakeView view;
  DownloadSpeed meter{[this] { return source.Snapshot(); }, &view};
};

TEST_F(DownloadSpeedTest, ReportsEveryTwoSecondsTheAverageSinceStart) {
  source.total = 100 * kMiB;
  meter.Begin(10'000);
  EXPECT_EQ(view.reports.back(), (Report{0, 0, 0, 0}));

  source.done = 3 * kMiB;
  EXPECT_FALSE(meter.Measure(10'000 + 1999));
  EXPECT_EQ(view.reports.size(), 1u);
  EXPECT_TRUE(meter.Measure(12'000));
  EXPECT_EQ(view.reports.back(), (Report{1536, 100 * kMiB, 3 * kMiB, 2}));

  // The next report needs another full interval after the last one.
  source.in_progress = 3 * kMiB;
  EXPECT_FALSE(meter.Measure(13'999));
  EXPECT_TRUE(meter.Measure(14'000));
  EXPECT_EQ(view.reports.back(), (Report{1536, 100 * kMiB, 6 * kMiB, 4}));

  meter.End();
  EXPECT_EQ(view.reports.back(), (Report{0, 0, 0, 0}));
}

TEST_F(DownloadSpeedTest, PausedAndMergingTimeIsNotDownloadTime) {
  source.total = 100 * kMiB;
  meter.Begin(0);
  source.done = 4 * kMiB;
  ASSERT_TRUE(meter.Measure(2000));
  EXPECT_EQ(view.reports.back(), (Report{2048, 100 * kMiB, 4 * kMiB, 2}));

  view.paused = true;
  ASSERT_TRUE(meter.Measure(4000));
  EXPECT_EQ(view.reports.back(), (Report{0, 100 * kMiB, 4 * kMiB, 2}));
  ASSERT_TRUE(meter.Measure(6000));
  EXPECT_EQ(view.reports.back().elapsed, 2u);

  view.paused = false;
  source.merging = true;
  ASSERT_TRUE(meter.Measure(8000));
  EXPECT_EQ(view.reports.back(), (Report{2048, 100 * kMiB, 4 * kMiB, 2}));

  // After resuming, the average covers download time only: 8 MiB in 4 s.
  source.merging = false;
  source.done = 8 * kMiB;
  ASSERT_TRUE(meter.Measure(10'000));
  EXPECT_EQ(view.reports.back(), (Report{2048, 100 * kMiB, 8 * kMiB, 4}));
}

TEST_F(DownloadSpeedTest, LessThanASecondOfCountedTimeCountsAsOne) {
  // The whole first interval was spent merging: no counted time at all.
  meter.Begin(0);
  source.merging = true;
  source.done = 1 * kMiB;
  ASSERT_TRUE(meter.Measure(2500));
  EXPECT_EQ(view.reports.back(), (Report{1024, 0, 1 * kMiB, 1}));
  view.paused = true;
  ASSERT_TRUE(meter.Measure(4500));
  EXPECT_EQ(view.reports.back(), (Report{0, 0, 1 * kMiB, 1}));
}

TEST_F(DownloadSpeedTest, BytesFoundOnDiskCountAsDownloadedButNotAsSpeed) {
  source.total = 200 * kMiB;
  source.done = 100 * kMiB;
  source.reused = 100 * kMiB;
  meter.Begin(0);
  source.in_progress = 2 * kMiB;
  ASSERT_TRUE(meter.Measure(2000));
  EXPECT_EQ(view.reports.back(), (Report{1024, 200 * kMiB, 102 * kMiB, 2}));
}

TEST_F(DownloadSpeedTest, ReusedBytesAboveTheRestGiveNoSpeedRatherThanAWrappedOne) {
  // The counters are read one at a time while an attempt restarts: the
  // reused count may briefly exceed what the other two add up to.
  source.total = 50 * kMiB;
  source.reused = 30 * kMiB;
  source.done = 10 * kMiB;
  meter.Begin(0);
  ASSERT_TRUE(meter.Measure(2000));
  EXPECT_EQ(view.reports.back().speed, 0u);
}

TEST_F(DownloadSpeedTest, ThreadReportsZerosFirstAndLastAndAStopEndsTheWaitForTheNextReport) {
  // Every reading of this clock is a report's interval later: the first
  // report comes at once, and the thread then waits two seconds for the next.
  std::atomic<uint64_t> fake_now{0};
  DownloadSpeed fast([this] { return source.Snapshot(); }, &view, [&] { return fake_now += 2000; });
  source.total = 10 * kMiB;
  source.done = 5 * kMiB;
  ASSERT_NE(fast.Start(), nullptr);
  const ULONGLONG deadline = GetTickCount64() + 5000;
  while (view.Reports().size() < 2 && GetTickCount64() < deadline) Sleep(10);

  const ULONGLONG before = GetTickCount64();
  fast.Stop(INFINITE);
  EXPECT_LT(GetTickCount64() - before, 150u);

  const std::vector<Report> reports = view.Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports.front(), (Report{0, 0, 0, 0}));
  EXPECT_EQ(reports.back(), (Report{0, 0, 0, 0}));
  EXPECT_EQ(reports[1].total, 10 * kMiB);
  EXPECT_EQ(reports[1].downloaded, 5 * kMiB);
  EXPECT_FALSE(fast.IsRunning());
}

TEST_F(DownloadSpeedTest, StopDuringTheFirstIntervalIsNoticedAtOnce) {
  ASSERT_NE(meter.Start(), nullptr);
  Sleep(200);
  const ULONGLONG before = GetTickCount64();
  meter.Stop(INFINITE);
  EXPECT_LT(GetTickCount64() - before, 150u);
  const std::vector<Report> reports = view.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports.back(), (Report{0, 0, 0, 0}));
}

TEST_F(DownloadSpeedTest, CanBeStartedAgainAfterAStop) {
  ASSERT_NE(meter.Start(), nullptr);
  meter.Stop(INFINITE);
  ASSERT_NE(meter.Start(), nullptr);
  meter.RequestStop();
  meter.Wait();
  EXPECT_EQ(view.Reports().size(), 4u);
}

}  // namespace
