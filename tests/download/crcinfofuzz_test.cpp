// A thousand seeded mutations of a valid CRC info through the parser and the
// manager's own checks of what a record names: nothing may crash, take long,
// or name a file outside the two folders or an object outside the release.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/error.h"
#include "download/partstore.h"
#include "download/releasemanifest.h"
#include "download/reportedlocalname.h"
#include "tests/support/crcinfomutator.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"

namespace {

// The folder a path lands in once the system has resolved "..", mixed
// separators and the like, with a final backslash.
std::wstring FolderOf(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  wchar_t* file_part = nullptr;
  const DWORD length =
      ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], &file_part);
  if (length == 0 || length >= full.size() || file_part == nullptr) return L"?";
  return full.substr(0, static_cast<size_t>(file_part - full.data()));
}

std::string ValidCrcInfo() {
  return "Veltra_R1;Setup.exe\r\n25000000\r\n-1966210513\r\n12345\r\n2068421371\r\n"
         ";Data-1.bin\r\n10000000\r\n-7\r\n;Readme.txt\r\n100\r\n404\r\n";
}

}  // namespace

TEST(CrcInfoFuzz, MutatedCrcInfoNamesNothingOutsideTheRelease) {
  const uint32_t seed = CrcInfoMutator::RunSeed();
  std::printf("CRC info mutations, seed %u (VELTRA_FUZZ_SEED=%u repeats them)\n", seed, seed);
  CrcInfoMutator mutator(seed);
  TempDir dir;
  const std::wstring program = dir.Path() + L"\\program";
  const std::wstring download = dir.Path() + L"/download";
  ReleaseLayout layout;
  layout.SetRelease(L"Rel", L"P1");
  layout.Configure(L"", L"Veltra_R1.txt", download, program);
  FileSystemWatcher watcher;
  ProgressCounters progress;
  FlagEvent running;
  running.store(true);
  PartStore store(layout, watcher, progress, StopToken(running));
  const std::wstring program_folder = FolderOf(program + L"\\x");
  const std::wstring download_folder = FolderOf(download + L"/x");

  int kept = 0;
  for (int round = 0; round < 1000; ++round) {
    std::string kind;
    const std::string text = mutator.Mutate(ValidCrcInfo(), &kind);
    SCOPED_TRACE("mutation " + std::to_string(round) + ": " + kind);
    Error::ClearErrors();
    const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
    uint64_t total = 0;
    for (const ManifestFile& record : records) {
      total += record.size;
      std::wstring local;
      if (!ReportedLocalName(layout, record, local)) continue;
      kept++;
      const size_t parts = record.part_crcs.size();
      ASSERT_EQ(program_folder, FolderOf(layout.FinalPath(local))) << local;
      uint64_t part_bytes = 0;
      for (size_t k = 0; k < parts; ++k) {
        part_bytes += layout.PartBytes(record, k);
        ASSERT_LE(layout.PartBytes(record, k), kPartSize);
        if (k == 0 || k + 1 == parts) {
          ASSERT_EQ(download_folder, FolderOf(layout.PartPath(local, k))) << local;
          // The object stays in the release's folder on the host: nothing
          // but the part's own name after it.
          const std::wstring object = layout.PartObjectPath(record, k);
          ASSERT_EQ(0u, object.find(L"/Rel/")) << object;
          ASSERT_EQ(std::wstring::npos, object.find_first_of(L"/\\?", 5)) << object;
        }
      }
      ASSERT_LE(part_bytes, record.size);
    }
    // The totals of what a run would show and check for room.
    store.CountFinalFiles(records);
    ASSERT_EQ(total, progress.Snapshot().total_bytes);
  }
  // The mutations leave many records intact, so the checks above ran.
  EXPECT_GT(kept, 500);
  Error::ClearErrors();
}
