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
    return [this](size_t, CrcInfoSource::Copy& copy) {
      const Copy& next = copies[std::min(fetches++, copies.size() - 1)];
      copy.text = next.text;
      copy.status = next.status;
      copy.received = next.status == 200;
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

namespace {

// Hosts that each hand out their own copies in order (the last one again
// once used up) and serve one CRC for every part asked of them.
struct ScriptedHosts {
  std::vector<std::vector<Copy>> copies;
  std::vector<uint32_t> part_crcs;
  std::vector<size_t> fetches = std::vector<size_t>(copies.size(), 0);
  int probes = 0;

  CrcInfoSource::FetchCopy Fetch() {
    return [this](size_t host, CrcInfoSource::Copy& copy) {
      const std::vector<Copy>& mine = copies.at(host);
      const Copy& next = mine[std::min(fetches[host]++, mine.size() - 1)];
      copy.text = next.text;
      copy.status = next.status;
      copy.received = next.status == 200;
      return true;
    };
  }
  CrcInfoSource::ProbePart Probe() {
    return [this](size_t host, const ManifestFile&, size_t, uint32_t& crc) {
      probes++;
      crc = part_crcs.at(host);
      return true;
    };
  }
};

const std::string kRight = "x;Setup.exe\r\n5\r\n100\r\n";
const std::string kTampered = "x;Setup.exe\r\n5\r\n666\r\n";

}  // namespace

// Copies from several hosts: a host whose copy is not the one used is left
// out of the run, whichever host it is, and a copy no part backs is never
// used.
TEST(CrcInfoSource, HostsThatDisagreeAreLeftOut) {
  ReleaseLayout layout;
  layout.SetRelease(L"Sub", L"P1", {L"Sub", L"Sub"});
  layout.Configure(L"", L"R1.txt", L"C:/dl", L"C:/program");
  CrcInfoSource source(layout);
  ReleaseManifest records;
  const auto pool = [](size_t count) {
    std::vector<std::wstring> names;
    for (size_t host = 0; host < count; ++host) names.push_back(L"h" + std::to_wstring(host));
    return HostPool(names, [] { return uint64_t{0}; });
  };

  // Two hosts that agree: one copy each, as many requests as with one host.
  HostPool agree = pool(2);
  ScriptedHosts agreeing{{{{kRight}}, {{kRight}}}, {}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched,
            source.Fetch(agreeing.Fetch(), records, &agree, agreeing.Probe()));
  EXPECT_EQ((std::vector<size_t>{1, 1}), agreeing.fetches);
  EXPECT_EQ(1u, records.size());

  // The majority wins without a probe: the second host's copy was tampered
  // with.
  HostPool three = pool(3);
  ScriptedHosts majority{{{{kRight}}, {{kTampered}}, {{kRight}}}, {}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched,
            source.Fetch(majority.Fetch(), records, &three, majority.Probe()));
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(100, records[0].part_crcs[0]);
  EXPECT_EQ(0, majority.probes);
  EXPECT_TRUE(three.LeftOut(1));
  EXPECT_FALSE(three.LeftOut(0) || three.LeftOut(2));

  // Two hosts, each steady: the first host's copy was tampered with, and
  // both hosts' parts match the second's, which is used.
  HostPool tie = pool(2);
  ScriptedHosts first_wrong{{{{kTampered}}, {{kRight}}}, {100, 100}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched,
            source.Fetch(first_wrong.Fetch(), records, &tie, first_wrong.Probe()));
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(100, records[0].part_crcs[0]);
  EXPECT_TRUE(tie.LeftOut(0));
  EXPECT_FALSE(tie.LeftOut(1));

  // Parts that match neither copy (in a run of its own): nothing is used
  // and the attempt fails; the same two copies at the next fetch are not
  // settled again by fetching the parts.
  CrcInfoSource run(layout);
  HostPool neither = pool(2);
  ScriptedHosts unbacked{{{{kTampered}}, {{kRight}}}, {7, 7}};
  for (int fetch = 0; fetch < 2; ++fetch) {
    EXPECT_EQ(CrcInfoSource::Result::kFetched,
              run.Fetch(unbacked.Fetch(), records, &neither, unbacked.Probe()));
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(run.Text().empty());
  }
  EXPECT_EQ(2, unbacked.probes);

  // A host whose copy changes is left out; a host without the release
  // (404) too; the copy of the steady host is used.
  HostPool changing = pool(3);
  ScriptedHosts flapping{
      {{{"", 404}}, {{kRight}, {kTampered}}, {{kTampered}, {kTampered}}}, {}};
  EXPECT_EQ(CrcInfoSource::Result::kFetched,
            source.Fetch(flapping.Fetch(), records, &changing, flapping.Probe()));
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(666, records[0].part_crcs[0]);
  EXPECT_TRUE(changing.LeftOut(0) && changing.LeftOut(1));
  EXPECT_FALSE(changing.LeftOut(2));

  // Every host answers 404: the release is gone.
  HostPool gone = pool(2);
  ScriptedHosts none{{{{"", 404}}, {{"", 404}}}, {}};
  EXPECT_EQ(CrcInfoSource::Result::kGone, source.Fetch(none.Fetch(), records, &gone, none.Probe()));
}
