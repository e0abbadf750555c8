#include "app/progressreadout.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kLabels[] =
    L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n";

DownloadProgress Downloading(uint64_t total, uint64_t done, uint64_t in_progress = 0) {
  DownloadProgress counters;
  counters.total_bytes = total;
  counters.bytes_done = done;
  counters.bytes_in_progress = in_progress;
  return counters;
}

TEST(ProgressReadout, DownloadingShowsFiveLinesWithTimeLeft) {
  const Readout r = ProgressReadout::Compute(1500, 1'000'000'000, 333'333'333,
                                             Downloading(1'000'000'000, 333'333'333));
  EXPECT_EQ(r.labels, kLabels);
  EXPECT_EQ(r.values, L"976562 kB\r\n325520 kB\r\n1500 kB/s\r\n33 %\r\n0 h : 7 m : 14 s");
  EXPECT_EQ(r.bar, 33);
  EXPECT_TRUE(r.show_values);
  EXPECT_TRUE(r.show_pause);
  EXPECT_FALSE(r.show_labels);
}

TEST(ProgressReadout, PausedDownloadHasNoTimeLeftLine) {
  const Readout r = ProgressReadout::Compute(0, 1'000'000'000, 333'333'333,
                                             Downloading(1'000'000'000, 333'333'333));
  EXPECT_EQ(r.values, L"976562 kB\r\n325520 kB\r\n0 kB/s\r\n33 %");
  EXPECT_EQ(r.labels, kLabels);
}

TEST(ProgressReadout, NinetyNinePercentStillDownloadsAndAHundredProcesses) {
  Readout r = ProgressReadout::Compute(10, 123'456'789, 123'400'000,
                                       Downloading(123'456'789, 100'000'000, 23'400'000));
  EXPECT_EQ(r.bar, 99);
  EXPECT_TRUE(r.show_values);
  EXPECT_EQ(r.labels, kLabels);
  EXPECT_NE(r.values.find(L"\r\n99 %"), std::wstring::npos);

  r = ProgressReadout::Compute(10, 123'456'789, 123'456'789, Downloading(123'456'789, 123'456'789));
  EXPECT_EQ(r.labels, L"Processing downloaded files, please wait...\r\n");
  EXPECT_EQ(r.values, L"");
  EXPECT_TRUE(r.show_labels);
  EXPECT_FALSE(r.show_values);
  EXPECT_FALSE(r.show_pause);
  EXPECT_EQ(r.bar, 100);
}

TEST(ProgressReadout, TotalBelowAThousandBytesGivesZeroPercentInEveryPhase) {
  Readout r = ProgressReadout::Compute(0, 999, 500, Downloading(999, 500));
  EXPECT_EQ(r.values, L"0 kB\r\n0 kB\r\n0 kB/s\r\n0 %");
  EXPECT_EQ(r.bar, 0);
  EXPECT_LT(ProgressReadout::DownloadPercent(Downloading(999, 500)), 0);

  DownloadProgress verifying = Downloading(999, 999);
  verifying.verifying = true;
  verifying.bytes_verified = 999;
  r = ProgressReadout::Compute(0, 999, 999, verifying);
  EXPECT_EQ(r.labels, L"Verifying setup files 0% completed");
  EXPECT_EQ(r.bar, 0);
}

TEST(ProgressReadout, VerifyingWinsOverMergingAndTheByteCounters) {
  DownloadProgress counters = Downloading(1'000'000'000, 1'000'000'000);
  counters.verifying = true;
  counters.merging = true;
  counters.bytes_verified = 250'000'000;
  const Readout r = ProgressReadout::Compute(1500, 1'000'000'000, 1'000'000'000, counters);
  EXPECT_EQ(r.labels, L"Verifying setup files 25% completed");
  EXPECT_EQ(r.values, L"");
  EXPECT_EQ(r.bar, 25);
  EXPECT_TRUE(r.show_labels);
  EXPECT_FALSE(r.show_values);
  EXPECT_FALSE(r.show_pause);
}

TEST(ProgressReadout, MergingShowsTheCopyPercent) {
  DownloadProgress counters = Downloading(1'000'000'000, 400'000'000);
  counters.merging = true;
  counters.merge_percent = 42;
  const Readout r = ProgressReadout::Compute(1500, 1'000'000'000, 400'000'000, counters);
  EXPECT_EQ(r.labels, L"Copying downloaded files, please wait...\r\n42% completed");
  EXPECT_EQ(r.values, L"");
  EXPECT_EQ(r.bar, 42);
  EXPECT_FALSE(r.show_values);
  EXPECT_FALSE(r.show_pause);
}

TEST(ProgressReadout, FirstAndLastCallsShowZerosAndTheCountersPercent) {
  const Readout r = ProgressReadout::Compute(0, 0, 0, Downloading(1'000'000'000, 500'000'000));
  EXPECT_EQ(r.values, L"0 kB\r\n0 kB\r\n0 kB/s\r\n50 %");
  EXPECT_EQ(r.bar, 50);

  // Before the manager has totalled anything.
  const Readout start = ProgressReadout::Compute(0, 0, 0, DownloadProgress());
  EXPECT_EQ(start.values, L"0 kB\r\n0 kB\r\n0 kB/s\r\n0 %");
  EXPECT_EQ(start.bar, 0);
}

TEST(ProgressReadout, TimeLeftShowsHours) {
  EXPECT_EQ(ProgressReadout::FormatTimeLeft(3725), L"1 h : 2 m : 5 s");
  EXPECT_EQ(ProgressReadout::FormatTimeLeft(0), L"0 h : 0 m : 0 s");
  EXPECT_EQ(ProgressReadout::FormatTimeLeft(59), L"0 h : 0 m : 59 s");
  // 3725 s at 1 kB/s.
  const Readout r = ProgressReadout::Compute(1, 3725 * 1024, 0, Downloading(3725 * 1024, 0));
  EXPECT_NE(r.values.find(L"\r\n1 h : 2 m : 5 s"), std::wstring::npos) << r.values;
}

TEST(ProgressReadout, CountersPastTheTotalNeverShowMoreThanTheWhole) {
  // A file's last part counts as a full part, so the counters overshoot
  // while the other parts still arrive.
  const Readout r = ProgressReadout::Compute(2000, 25'000'000, 26'000'000,
                                             Downloading(25'000'000, 20'000'000, 6'000'000));
  EXPECT_EQ(r.values, L"24414 kB\r\n24414 kB\r\n2000 kB/s\r\n100 %\r\n0 h : 0 m : 0 s");
  EXPECT_EQ(r.bar, 100);
  EXPECT_TRUE(r.show_pause);
}

TEST(ProgressReadout, PercentsStayWithinTheBar) {
  DownloadProgress counters = Downloading(1'000'000'000, 0);
  counters.verifying = true;
  counters.bytes_verified = 3'000'000'000;
  EXPECT_EQ(ProgressReadout::VerifyPercent(counters), 100);

  counters.verifying = false;
  counters.merging = true;
  counters.merge_percent = 0xFFFFFFFF00000032ull;  // low half 50
  EXPECT_EQ(ProgressReadout::Compute(0, 0, 0, counters).bar, 50);
  counters.merge_percent = 0xFFFFFFFFull;  // low half -1
  EXPECT_EQ(ProgressReadout::Compute(0, 0, 0, counters).labels,
            L"Copying downloaded files, please wait...\r\n0% completed");
}

TEST(ProgressReadout, EachCounterIsTakenInThousandsOnItsOwn) {
  // 999 + 999 bytes are 0 + 0 thousands, not 1.
  EXPECT_EQ(ProgressReadout::DownloadPercent(Downloading(100'000, 999, 999)), 0);
  EXPECT_EQ(ProgressReadout::DownloadPercent(Downloading(100'000, 1'999, 1'999)), 2);
}

}  // namespace
