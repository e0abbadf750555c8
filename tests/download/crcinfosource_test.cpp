// The fetch-twice rule of the CRC info, with scripted copies instead of a
// host.
#include "download/crcinfosource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "tests/support/managertest.h"

namespace {

struct Copy {
  std::string text;
  uint32_t status = 200;
  bool stopped = false;
};

// Hands out the copies in order and counts the fetches.
struct ScriptedHost {
  std::vector<Copy> copies;
  size_t fetches = 0;

  CrcInfoSource::FetchCopy Fetch() {
    return [this](std::string& copy, uint32_t& status) {
      const Copy& next = copies[std::min(fetches++, copies.size() - 1)];
      copy = next.text;
      status = next.status;
      return !next.stopped;
    };
  }
};

}  // namespace

TEST(CrcInfoSource, CopiesMustAgreeAndAStopOrA404EndsTheFetch) {
  ReleaseLayout layout;
  layout.SetRelease(L"Sub", L"P1");
  layout.Configure(L"", L"R1.txt", L"C:/dl", L"C:/program");
  CrcInfoSource source(layout);
  ReleaseManifest records;

  // A disagreeing pair is fetched again; the agreeing one is used, and the
  // disagreement stays in the log.
  Error::ClearErrors();
  ScriptedHost changing{{{"x;Setup.exe\r\n5\r\n1\r\n"},
                         {"x;Setup.exe\r\n6\r\n1\r\n"},
                         {"x;Setup.exe\r\n7\r\n1\r\n"}}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched, source.Fetch(changing.Fetch(), records));
  EXPECT_EQ(4u, changing.fetches);
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(7u, records[0].size);
  EXPECT_EQ(1, CountLogRecords("the two copies of R1.txt differ"));

  // A stop during the second copy is no disagreement and no record.
  Error::ClearErrors();
  ScriptedHost stopping{{{"x;Setup.exe\r\n5\r\n1\r\n"}, {"", 0, true}}};
  EXPECT_EQ(CrcInfoSource::Result::kStopped, source.Fetch(stopping.Fetch(), records));
  EXPECT_TRUE(records.empty());
  EXPECT_FALSE(Error::HasErrors());

  // A 404 ends the fetch at the first copy.
  ScriptedHost gone{{{"", 404}}};
  EXPECT_EQ(CrcInfoSource::Result::kGone, source.Fetch(gone.Fetch(), records));
  EXPECT_EQ(1u, gone.fetches);

  // Unusable records are dropped and counted.
  ScriptedHost unsafe{{{"x;..\\evil.exe\r\n5\r\n1\r\n;Setup.exe\r\n5\r\n1\r\n"}}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched, source.Fetch(unsafe.Fetch(), records));
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(1u, source.Dropped());
  // A kept record comes with its local name, so the run never derives it
  // again.
  EXPECT_EQ(L"Setup_P1.exe", records[0].local_name);
}
