#include "download/releaselayout.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "download/reportedlocalname.h"
#include "tests/support/managertest.h"

TEST(ReleaseLayout, NamesOfARecord) {
  ReleaseLayout layout;
  layout.SetRelease(L"Sub", L"P1");
  layout.Configure(L"", L"Veltra_R1.txt", L"C:/dl", L"C:\\program");
  const ManifestFile record{L"Setup.exe", L"", 25000000, {1, 2, 3}};
  std::wstring local;
  ASSERT_TRUE(layout.LocalName(record, local));
  EXPECT_EQ(L"Setup_P1.exe", local);
  EXPECT_EQ(L"C:/dl/Setup_P1.exepart2", layout.PartPath(local, 2));
  EXPECT_EQ(L"C:\\program/Setup_P1.exe", layout.FinalPath(local));
  EXPECT_EQ(L"/Sub/1_Setup.exe", layout.PartObjectPath(record, 1));
  // The last part carries its real size, so the counters never pass the total.
  EXPECT_EQ(10000000u, layout.PartBytes(record, 0));
  EXPECT_EQ(10000000u, layout.PartBytes(record, 1));
  EXPECT_EQ(5000000u, layout.PartBytes(record, 2));
  const ManifestFile exact{L"data-1.bin", L"", 20000000, {1, 2}};
  EXPECT_EQ(10000000u, layout.PartBytes(exact, 1));

  Error::ClearErrors();
  EXPECT_FALSE(ReportedLocalName(layout, {L"..\\evil.exe", L"", 1, {}}, local));
  EXPECT_EQ(1, CountLogRecords("DownloadManager: no usable local name for file ..\\evil.exe"));
}
