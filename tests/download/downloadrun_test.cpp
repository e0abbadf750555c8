// Whole runs of the download manager against the test download host.
#include "download/downloadmanager.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "base/crc.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/filesystem.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "tests/support/crcinfomutator.h"
#include "tests/support/debugcapture.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"
#include "tests/support/testdata.h"
#include "tests/support/testhost.h"

namespace {

constexpr size_t kPart = 10000000;
const wchar_t kGiveUp[] =
    L"Downloading setup failed.\rYou are now directed to our Support Center for help.";
const wchar_t kSaveFailure[] =
    L"Something is preventing the Download Manager from saving the installation files.\r\nYou "
    L"will now be re-directed to the Veltra Support Center.";
const char kSubdir[] = "rel";  // as the host sees it: the manager lowers the case

std::string Crc(const std::string& bytes) {
  return std::to_string(static_cast<int32_t>(CRC().Compute(bytes.data(), bytes.size())));
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One file of a release: its host name, its bytes (empty with `no_parts`).
struct ReleaseFile {
  std::string name;
  std::string bytes;
  bool no_parts = false;
};

// Builds the CRC info of `files` and puts every part on the host.
std::string CrcInfoOf(const std::vector<ReleaseFile>& files) {
  std::string text = "Veltra release";
  for (const ReleaseFile& file : files) {
    text += ";" + file.name + "\r\n" + std::to_string(file.bytes.size()) + "\r\n";
    if (file.no_parts) continue;
    for (size_t offset = 0; offset < file.bytes.size(); offset += kPart) {
      text += Crc(file.bytes.substr(offset, kPart)) + "\r\n";
    }
  }
  return text;
}

// Free space as the test says, the same for every folder, on one volume.
class FakeFreeSpaceQuery : public IFreeSpaceQuery {
 public:
  bool Query(const std::wstring&, Volume& volume) override {
    volume.root = L"c:\\";
    volume.free_bytes = free_bytes.load();
    return true;
  }
  std::atomic<uint64_t> free_bytes{~0ull};
};

class DownloadRunIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!host.Available(&why)) GTEST_SKIP() << "no test download host: " << why;
    ASSERT_TRUE(host.Reset());
    // Outside the ANSI code page on purpose: the whole run must cope.
    program = dir.Path() + L"\\\u0141ukasz";
    download = dir.Path() + L"/AppData \u0141/R1";
    StringUtils::ReplaceAll(download, L"\\", L"/");
    ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((dir.Path() + L"\\AppData \u0141").c_str(), nullptr));
  }

  void PutRelease(const std::vector<ReleaseFile>& files, const std::string& info_name = "R1.txt",
                  const std::string& subdir = kSubdir) {
    ASSERT_TRUE(host.PutObject("/" + subdir + "/" + info_name, CrcInfoOf(files)));
    for (const ReleaseFile& file : files) {
      if (file.no_parts) continue;
      for (size_t k = 0; k * kPart < file.bytes.size(); ++k) {
        ASSERT_TRUE(host.PutObject("/" + subdir + "/" + std::to_string(k) + "_" + file.name,
                                   file.bytes.substr(k * kPart, kPart)));
      }
    }
  }

  std::unique_ptr<DownloadManager> NewManager() {
    auto manager = std::make_unique<DownloadManager>(&listener);
    manager->SetRelease({host.HostName(), L"REL", L"P1", L"?sig=secret"});
    manager->SetSupportCenterUrl(L"https://support.veltra.test/help");
    manager->SetShell(&shell);
    return manager;
  }

  void Start(DownloadManager& manager, const std::wstring& info_name = L"R1.txt",
             const std::wstring& prefix = L"") {
    manager.StartDownload(L"default", prefix, info_name, download, program);
  }

  // Waits for the run to end by itself; meanwhile the read-out never shows
  // more than the total.
  static bool WaitForEnd(DownloadManager& manager, int seconds = 300) {
    for (int i = 0; i < seconds * 100 && manager.IsRunning(); ++i) {
      const DownloadProgress progress = manager.Progress();
      const uint64_t shown = progress.bytes_done + progress.bytes_in_progress;
      if (progress.total_bytes > 0 && !progress.verifying) {
        EXPECT_LE(shown, progress.total_bytes);
      }
      ::Sleep(10);
    }
    return !manager.IsRunning();
  }

  // How often the host was asked for a path (the query is not compared).
  int Requested(const std::string& path) {
    int count = 0;
    for (const RecordedRequest& request : host.Requests()) {
      if (request.target.substr(0, request.target.find('?')) == path) count++;
    }
    return count;
  }

  // Bytes the host served, as a share of the release's bytes; printed for
  // the record.
  double ServedShare(size_t release_bytes) {
    const HostCounters counters = host.Counters();
    const double share = static_cast<double>(counters.bytes_sent) / release_bytes;
    std::printf("host served %lld bytes in %lld requests: %.2f x the release\n",
                counters.bytes_sent, counters.requests, share);
    return share;
  }

  // Waits until the run has ended by itself or has told the owner to close,
  // then stops it as the owner would.
  void WaitForFinishedThenStop(DownloadManager& manager) {
    for (int i = 0; i < 6000 && manager.IsRunning() && listener.finished.load() == 0; ++i) {
      ::Sleep(50);
    }
    manager.StopDownload();
  }

  // Log records with this text and this error number.
  static int CountRecordsWithNumber(const std::string& text, uint32_t number) {
    int count = 0;
    for (const auto& record : Error::GetErrorListJson()) {
      if (record["message"].get<std::string>().find(text) != std::string::npos &&
          record["error_number"].get<uint32_t>() == number) {
        count++;
      }
    }
    return count;
  }

  // The drive of tests/wine/fulldisk.sh, or "" when there is none.
  static std::wstring FullDrive() {
    wchar_t drive[8] = {};
    if (!::GetEnvironmentVariableW(L"VELTRA_TEST_FULL_DRIVE", drive, 8)) return L"";
    const std::wstring root = std::wstring(drive) + L"\\";
    return ::GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES ? L"" : drive;
  }

  std::wstring Final(const std::wstring& local) { return program + L"/" + local; }
  std::wstring Part(const std::wstring& local, int k) {
    return download + L"/" + local + L"part" + std::to_wstring(k);
  }

  TestHost host;
  TempDir dir;
  std::wstring program;
  std::wstring download;
  RecordingShell shell;
  RecordingListener listener{shell};
};

std::string SetupBytes(size_t size) {
  std::string bytes = ReadFileBytes(HelperPath());
  bytes.resize(size, '\0');  // a program runs with bytes appended to it
  return bytes;
}

}  // namespace

TEST_F(DownloadRunIntegration, WholeReleaseIsDownloadedMergedAndStarted) {
  const std::vector<ReleaseFile> files = {{"Data-1a.bin", Pattern(2 * kPart, 1)},
                                          {"Data-2a.bin", Pattern(kPart + 123457, 2)},
                                          {"Setup.exe", SetupBytes(2 * kPart + 4321)},
                                          {"Readme-1a.txt", "", true}};
  PutRelease(files);
  // The record without parts is never fetched: only its presence counts.
  ASSERT_TRUE(WriteFileBytes(Final(L"Readme_P1-1a.txt"), "hello"));

  DebugCapture debug;
  auto manager = NewManager();
  manager->SetShell(nullptr);  // the real shell starts the stand-in setup
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  // The signature never reaches the log or the debugger output.
  EXPECT_EQ(0, CountLogRecords("secret"));
  for (const std::wstring& line : debug.Wide()) EXPECT_EQ(std::wstring::npos, line.find(L"secret"));
  for (const std::string& line : debug.Narrow()) EXPECT_EQ(std::string::npos, line.find("secret"));
  EXPECT_FALSE(debug.Wide().empty());

  EXPECT_TRUE(ReadFileBytes(Final(L"Data_P1-1a.bin")) == files[0].bytes);
  EXPECT_TRUE(ReadFileBytes(Final(L"Data_P1-2a.bin")) == files[1].bytes);
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[2].bytes);
  EXPECT_FALSE(Exists(download)) << "the download folder is removed";
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_TRUE(listener.Errors().empty());
  EXPECT_FALSE(Error::HasErrors()) << Error::GetErrorListJson().dump(1);
  EXPECT_EQ(0, CountLogNumber(DL_MANAGER_DELETED_OUTSIDE));
  EXPECT_EQ(1, CountLogRecords("FileSystemWatcher started"));
  // Every part once, the CRC info twice per fetch, the record without
  // parts never; the signature rides on every request.
  EXPECT_EQ(1, Requested("/rel/0_Data-1a.bin"));
  EXPECT_EQ(1, Requested("/rel/2_Setup.exe"));
  EXPECT_EQ(0, Requested("/rel/0_Readme-1a.txt"));
  for (const RecordedRequest& request : host.Requests()) {
    EXPECT_NE(std::string::npos, request.target.find("?sig=secret")) << request.target;
  }
  // The counters end at the total, never above it.
  const DownloadProgress progress = manager->Progress();
  EXPECT_EQ(files[0].bytes.size() + files[1].bytes.size() + files[2].bytes.size(),
            progress.total_bytes);
  EXPECT_LE(progress.bytes_done + progress.bytes_in_progress, progress.total_bytes);

  // The stand-in setup wrote down the folder it was started in.
  std::string ran;
  for (int i = 0; i < 200 && ran.empty(); ++i) {
    ::Sleep(50);
    ran = ReadFileBytes(program + L"\\ran.txt");
  }
  EXPECT_EQ(program, std::wstring(reinterpret_cast<const wchar_t*>(ran.data()),
                                  ran.size() / sizeof(wchar_t)));
}

// The first host refuses every connection: the second serves the whole
// release from its own folder, each request with its own signature; the
// first host's signature never goes to the second.
TEST_F(DownloadRunIntegration, SecondHostServesWhatTheFirstCannot) {
  const std::vector<ReleaseFile> files = {{"Data-1a.bin", Pattern(3 * kPart + 7, 5)},
                                          {"Setup.exe", SetupBytes(4321)}};
  PutRelease(files, "R1.txt", "mirror");
  auto manager = NewManager();
  manager->SetRelease({host.RefusedHostName(),
                       L"REL",
                       L"P1",
                       L"?sig=secret",
                       {{host.HostName(), L"Mirror", L"?sig=other"}}});
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_TRUE(ReadFileBytes(Final(L"Data_P1-1a.bin")) == files[0].bytes);
  // Two failed tries put the first host to rest for the run; the CRC info
  // came twice from the second in each of its two fetches, every part once.
  EXPECT_EQ(1, CountLogRecords("failed 2 tries in a row"));
  const std::vector<RecordedRequest> requests = host.Requests();
  EXPECT_EQ(4u + 5u, requests.size());
  for (const RecordedRequest& request : requests) {
    EXPECT_EQ(0u, request.target.find("/mirror/")) << request.target;
    EXPECT_NE(std::string::npos, request.target.find("?sig=other")) << request.target;
  }
}

TEST_F(DownloadRunIntegration, StoppedRunResumesWithWhatIsMissing) {
  const std::vector<ReleaseFile> files = {{"Big-1a.bin", Pattern(3 * kPart + 99, 3)},
                                          {"Small.exe", Pattern(5000, 4)}};
  PutRelease(files);
  // Part 2 stalls: the run is stopped while it waits for it.
  HostFault stall;
  stall.stall_before_body_ms = 20000;
  ASSERT_TRUE(host.SetFault("/rel/2_Big-1a.bin", stall));

  auto first = NewManager();
  Start(*first);
  for (int i = 0; i < 300 && !Exists(Part(L"Big_P1-1a.bin", 1)); ++i) ::Sleep(100);
  ::Sleep(300);
  const DWORD start = ::GetTickCount();
  first->StopDownload();
  EXPECT_LT(::GetTickCount() - start, 3000u) << "a stop does not wait for the host";
  EXPECT_TRUE(Exists(Part(L"Big_P1-1a.bin", 0)));
  EXPECT_TRUE(Exists(Part(L"Big_P1-1a.bin", 1)));
  EXPECT_FALSE(Exists(Part(L"Big_P1-1a.bin", 2)));
  // With several parts in flight, the one after the stalled part may be
  // whole already.
  const bool last_kept = Exists(Part(L"Big_P1-1a.bin", 3));
  // So may the next file's part, fetched while the first waits for its own.
  const bool small_kept = Exists(Part(L"Small_P1.exe", 0));
  EXPECT_FALSE(Exists(Final(L"Big_P1-1a.bin")));
  EXPECT_EQ(0, listener.finished.load());
  first.reset();

  // Part 1 is damaged before the next start; the small file is there
  // already, and is corrupt.
  ASSERT_TRUE(WriteFileBytes(Part(L"Big_P1-1a.bin", 1), "damaged"));
  ASSERT_TRUE(WriteFileBytes(Final(L"Small_P1.exe"), Pattern(5000, 5)));
  ASSERT_TRUE(host.ClearFault("/rel/2_Big-1a.bin"));
  ASSERT_TRUE(host.Reset());
  PutRelease(files);

  auto second = NewManager();
  Start(*second);
  ASSERT_TRUE(WaitForEnd(*second));
  EXPECT_EQ(0, Requested("/rel/0_Big-1a.bin")) << "an intact part is reused";
  EXPECT_EQ(1, Requested("/rel/1_Big-1a.bin")) << "a damaged part is fetched again";
  EXPECT_EQ(1, Requested("/rel/2_Big-1a.bin"));
  EXPECT_EQ(last_kept ? 0 : 1, Requested("/rel/3_Big-1a.bin"));
  // The corrupt final file is not fetched in the first attempt, fails its
  // verification, is deleted and is fetched in the second, unless its part
  // was kept from the run before.
  EXPECT_EQ(small_kept ? 0 : 1, Requested("/rel/0_Small.exe"));
  EXPECT_EQ(1, CountLogRecords("CheckFileFromCRCInfo CRC is not correct: "));
  EXPECT_TRUE(ReadFileBytes(Final(L"Big_P1-1a.bin")) == files[0].bytes);
  EXPECT_TRUE(ReadFileBytes(Final(L"Small_P1.exe")) == files[1].bytes);
  EXPECT_EQ(std::vector<std::wstring>{L"open " + Final(L"Small_P1.exe") + L" in " + program},
            shell.Calls());
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_ERRORS_RESOLVED));
  // The deletions were the manager's own: the watcher kept quiet.
  EXPECT_EQ(0, CountLogNumber(DL_MANAGER_DELETED_OUTSIDE));
}

// Final files already there are only verified; one longer than its record,
// although every block matches, is deleted and fetched again.
TEST_F(DownloadRunIntegration, FinalFilesAlreadyThereAreVerifiedByBlocksAndSize) {
  const std::vector<ReleaseFile> files = {{"Data-1a.bin", Pattern(kPart + 10, 23)},
                                          {"Setup.exe", Pattern(kPart + 10, 6)}};
  PutRelease(files);
  ASSERT_TRUE(WriteFileBytes(Final(L"Data_P1-1a.bin"), files[0].bytes + "tail"));
  ASSERT_TRUE(WriteFileBytes(Final(L"Setup_P1.exe"), files[1].bytes));
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_EQ(0, Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(0, Requested("/rel/1_Setup.exe"));
  EXPECT_EQ(1, Requested("/rel/0_Data-1a.bin"));
  EXPECT_EQ(1, Requested("/rel/1_Data-1a.bin"));
  EXPECT_EQ(1, CountLogRecords("CheckFileFromCRCInfo size is not correct: " +
                               StringUtils::ToNarrow(Final(L"Data_P1-1a.bin"))));
  EXPECT_TRUE(ReadFileBytes(Final(L"Data_P1-1a.bin")) == files[0].bytes);
  EXPECT_EQ(1u, shell.Calls().size());
  EXPECT_EQ(1, listener.finished.load());
}

TEST_F(DownloadRunIntegration, MissingCrcInfoEndsTheRun) {
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager, 60));
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_EQ(1, CountLogRecords("This version of Veltra can no longer be downloaded.\r\nPlease "
                               "download the latest version you received in an e-mail message"));
  EXPECT_TRUE(shell.Calls().empty());
  // The user reads the same text before the window closes.
  EXPECT_EQ(std::vector<std::wstring>{L"This version of Veltra can no longer be downloaded.\r\n"
                                      L"Please download the latest version you received in an "
                                      L"e-mail message"},
            listener.Errors());
  EXPECT_EQ(1, listener.failed.load());
}

TEST_F(DownloadRunIntegration, DifferingCopiesAreFetchedAgainUntilTwoAgree) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 7)}};
  PutRelease(files);
  const std::string good = CrcInfoOf(files);
  HostFault fault;
  fault.bodies = {good, good + "x", good, good, good, good};
  ASSERT_TRUE(host.SetFault("/rel/R1.txt", fault));
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager, 60));
  EXPECT_EQ(1u, shell.Calls().size());
  // Two disagreeing, two agreeing, then two for the verification.
  EXPECT_EQ(6, Requested("/rel/R1.txt"));
}

TEST_F(DownloadRunIntegration, HostThatNeverAnswersTheSameTwiceIsGivenUp) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 8)}};
  PutRelease(files);
  HostFault fault;
  fault.vary_offset = 5;
  ASSERT_TRUE(host.SetFault("/rel/R1.txt", fault));
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager, 300));
  // Each fetch gives up after a bounded number of pairs; each attempt fetches
  // twice; after eight attempts the run gives up.
  EXPECT_EQ(2 * 2 * CrcInfoSource::kMaxPairs * DownloadManager::kMaxAttempts,
            Requested("/rel/R1.txt"));
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED));
  EXPECT_EQ(0, listener.finished.load());
}

TEST_F(DownloadRunIntegration, OldLayoutTakesTheFolderFromThePrefix) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 9)}};
  PutRelease(files, "R2_5.txt");
  auto manager = NewManager();
  // "REL" arrives as the prefix; the descriptor's folder is not used.
  manager->SetRelease({host.HostName(), L"unused", L"P1", L"?sig=secret"});
  Start(*manager, L"R2_5.txt", L"REL");
  ASSERT_TRUE(WaitForEnd(*manager, 60));
  // The same folder for the verification's fetch as for the first.
  EXPECT_EQ(4, Requested("/rel/R2_5.txt"));
  // With the prefix emptied, the part's path starts with two slashes.
  EXPECT_EQ(1, Requested("//rel/0_Setup.exe") + Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(1, listener.finished.load());
}

// Verification fails while the CRC info of the verification lies about the
// file; the file is deleted and fetched again in the next attempt.
class AttemptsIntegration : public DownloadRunIntegration {
 protected:
  void RunWithLyingVerifications(int lying) {
    const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 10)}};
    PutRelease(files);
    const std::string good = CrcInfoOf(files);
    const std::string lie = CrcInfoOf({{"Setup.exe", Pattern(1000, 11)}});
    HostFault fault;
    for (int attempt = 0; attempt < DownloadManager::kMaxAttempts; ++attempt) {
      const std::string& check = attempt < lying ? lie : good;
      fault.bodies.insert(fault.bodies.end(), {good, good, check, check});
    }
    ASSERT_TRUE(host.SetFault("/rel/R1.txt", fault));
    manager = NewManager();
    Start(*manager);
    ASSERT_TRUE(WaitForEnd(*manager, 120));
  }
  std::unique_ptr<DownloadManager> manager;
};

TEST_F(AttemptsIntegration, EighthAttemptStillStartsTheSetup) {
  RunWithLyingVerifications(7);
  EXPECT_EQ(8, Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(1u, shell.Calls().size());
  EXPECT_EQ(0, CountLogNumber(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED));
  EXPECT_EQ(1, listener.finished.load());
}

TEST_F(AttemptsIntegration, EightFailedAttemptsGiveUp) {
  RunWithLyingVerifications(8);
  EXPECT_EQ(8, Requested("/rel/0_Setup.exe"));
  ExpectGaveUp(listener, shell, L"https://support.veltra.test/help");
}

TEST_F(DownloadRunIntegration, ReleaseWithHostileNamesIsNeitherFetchedNorInstalled) {
  const std::vector<std::string> hostile = {
      "..\\..\\evil1.exe", "../evil2.exe",  "sub/evil3.exe",
      "C:evil4.exe",       "C:\\evil5.exe", "\\\\srv\\s\\evil6.exe",
      "Setup.exe:ads",     "CON.exe",       "nul.bin1234",
      "a<b>.exe",          "a|b?.exe",      "..",
      "Setup.exe.",        "short"};
  std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 12)}};
  for (const std::string& name : hostile) files.push_back({name, Pattern(100, 13)});
  // The same file again, as Windows sees names: listed twice, it would be
  // fetched and checked twice against different values.
  files.push_back({"SETUP.exe", Pattern(1000, 14)});
  PutRelease(files);
  // A piece with a name only is no record either; a final ";" is harmless.
  // Two part lines for a file of one part: the second could never be fetched.
  ASSERT_TRUE(host.PutObject("/rel/R1.txt", CrcInfoOf(files) + ";Extra-1a.bin\r\n100\r\n5\r\n6\r\n"
                                                               ";only-a-name;\r\n"));
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager, 60));
  // Every record left out is named, and a release without them is not
  // installed: nothing but the CRC info is fetched.
  EXPECT_EQ(static_cast<int>(hostile.size()),
            CountLogRecords("DownloadManager: no usable local name for file "));
  EXPECT_EQ(1, CountLogRecords("skipped an entry without name and size: only-a-name"));
  EXPECT_EQ(1, CountLogRecords("file listed more than once: SETUP.exe"));
  EXPECT_EQ(1, CountLogRecords("file Extra-1a.bin lists 2 parts for 100 bytes"));
  EXPECT_EQ(1, CountLogRecords(std::to_string(hostile.size() + 3) +
                               " entries of R1.txt name no file that can be downloaded"));
  EXPECT_EQ(0, CountLogNumber(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED));
  for (const RecordedRequest& request : host.Requests()) {
    EXPECT_EQ("/rel/R1.txt", request.target.substr(0, request.target.find('?')));
  }
  EXPECT_EQ(std::vector<std::wstring>{kGiveUp}, listener.Errors());
  EXPECT_EQ(std::vector<std::wstring>{L"url https://support.veltra.test/help"}, shell.Calls());
  EXPECT_EQ(0, listener.finished.load());
  // Nothing landed beside or above the folders.
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  for (const std::wstring& folder : {dir.Path(), program}) {
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
      names.push_back(entry.cFileName);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  for (const std::wstring& name : names) {
    EXPECT_EQ(std::wstring::npos, name.find(L"evil")) << name;
  }
  EXPECT_FALSE(Exists(L"C:\\evil5.exe"));
}

TEST_F(DownloadRunIntegration, UnwritableDownloadFolderIsShownOnce) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(kPart + 5, 14)}};
  PutRelease(files);
  // The download folder's parent is a file: the folder cannot be created.
  download = dir.Path() + L"/blocker/R1";
  ASSERT_TRUE(WriteFileBytes(dir.Path() + L"/blocker", "file"));
  auto manager = NewManager();
  Start(*manager);
  for (int i = 0; i < 300 && listener.finished.load() == 0; ++i) ::Sleep(100);
  EXPECT_EQ(1, listener.finished.load());
  ::Sleep(500);
  EXPECT_EQ(std::vector<std::wstring>{kSaveFailure}, listener.Errors());
  EXPECT_EQ(std::vector<std::wstring>{L"url https://support.veltra.test/help"}, shell.Calls());
  // No further part is fetched; the owner's stop ends the run.
  EXPECT_EQ(0, Requested("/rel/1_Setup.exe"));
  EXPECT_TRUE(manager->IsRunning());
  manager->StopDownload();
  EXPECT_FALSE(manager->IsRunning());
}

TEST_F(DownloadRunIntegration, DeletionByAnotherProgramIsRecorded) {
  const std::vector<ReleaseFile> files = {{"Big-1a.bin", Pattern(2 * kPart, 15)},
                                          {"Setup.exe", Pattern(100, 16)}};
  PutRelease(files);
  HostFault stall;
  stall.stall_before_body_ms = 3000;
  ASSERT_TRUE(host.SetFault("/rel/1_Big-1a.bin", stall));
  auto manager = NewManager();
  Start(*manager);
  for (int i = 0; i < 300 && !Exists(Part(L"Big_P1-1a.bin", 0)); ++i) ::Sleep(100);
  ::Sleep(300);
  ASSERT_TRUE(RunHelper(L"delete \"" + Part(L"Big_P1-1a.bin", 0) + L"\""));
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_EQ(1, CountLogRecords("File: Big_P1-1a.binpart0 was deleted but it was not by the "
                               "download manager!"));
  // The merge misses part 0; the next attempt fetches it again.
  EXPECT_EQ(2, Requested("/rel/0_Big-1a.bin"));
  EXPECT_TRUE(ReadFileBytes(Final(L"Big_P1-1a.bin")) == files[0].bytes);
  EXPECT_EQ(1u, shell.Calls().size());
}

TEST_F(DownloadRunIntegration, FolderThatCannotBeWatchedIsTriedOncePerRun) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(3 * kPart, 23)}};
  PutRelease(files);
  HostFault stall;
  stall.stall_before_body_ms = 1500;
  ASSERT_TRUE(host.SetFault("/rel/1_Setup.exe", stall));
  // Held open by another program that shares nothing: the watcher cannot
  // open it, while files inside can still be written.
  ASSERT_TRUE(::CreateDirectoryW(download.c_str(), nullptr));
  UniqueHandle held(::CreateFileW(download.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(held);
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[0].bytes);
  EXPECT_EQ(1, CountLogRecords("FileSystemWatcher started"));
}

// Several parts are in flight when the user pauses: none of them may
// complete, and the read-out must stand still, until the resume.
TEST_F(DownloadRunIntegration, PauseHoldsEveryPartInFlightAndResumeFinishesThem) {
  constexpr size_t kParts = 5;
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(kParts * kPart, 17)}};
  PutRelease(files);
  // Every part stalls half-way, so that the pause lands in the middle of
  // all that are in flight.
  HostFault slow;
  slow.stall_at = kPart / 2;
  slow.stall_ms = 1500;
  for (size_t k = 0; k < kParts; ++k) {
    ASSERT_TRUE(host.SetFault("/rel/" + std::to_string(k) + "_Setup.exe", slow));
  }
  const auto parts_asked = [&] {
    int asked = 0;
    for (size_t k = 0; k < kParts; ++k)
      asked += Requested("/rel/" + std::to_string(k) + "_Setup.exe");
    return asked;
  };
  const int in_flight = std::min<int>(VELTRA_PARTS_IN_FLIGHT, kParts);
  auto manager = NewManager();
  Start(*manager);
  for (int i = 0;
       i < 1000 && (parts_asked() < in_flight || manager->Progress().bytes_in_progress == 0); ++i) {
    ::Sleep(20);
  }
  ASSERT_EQ(in_flight, parts_asked());
  manager->TogglePause();
  const auto parts_on_disk = [&] {
    int count = 0;
    for (size_t k = 0; k < kParts; ++k) {
      const std::wstring part = download + L"/Setup_P1.exepart" + std::to_wstring(k);
      count += ::GetFileAttributesW(part.c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
    }
    return count;
  };
  // Reads under way when the pause came may still end; then all hold.
  for (int i = 0; i < 2000 && manager->PartsHeld() < in_flight; ++i) ::Sleep(10);
  ASSERT_EQ(in_flight, manager->PartsHeld()) << "not every part held for the pause";
  EXPECT_EQ(0, parts_on_disk()) << "a part completed while paused";
  EXPECT_EQ(in_flight, parts_asked()) << "a part was started while paused";
  EXPECT_TRUE(manager->IsRunning());
  manager->TogglePause();
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[0].bytes);
  EXPECT_EQ(static_cast<int>(kParts), parts_asked())
      << "each part once: resumed, not fetched again";
}

// A run that was killed leaves parts cut short under temporary names; the
// next start removes them before it asks the host for anything.
TEST_F(DownloadRunIntegration, StartRemovesTemporaryFilesOfAKilledRun) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(kPart + 5, 24)}};
  PutRelease(files);
  HostFault held;
  held.count = 1;
  held.stall_before_headers_ms = 3000;
  ASSERT_TRUE(host.SetFault("/rel/R1.txt", held));
  ASSERT_TRUE(::CreateDirectoryW(download.c_str(), nullptr));
  const std::wstring leftover = download + L"/Setup_P1.exepart0.tmp";
  const std::wstring part = download + L"/Setup_P1.exepart1";
  WriteFileBytes(leftover, Pattern(1000, 25));
  WriteFileBytes(part, files[0].bytes.substr(kPart));
  auto manager = NewManager();
  Start(*manager);
  for (int i = 0; i < 500 && Requested("/rel/R1.txt") == 0; ++i) ::Sleep(20);
  ASSERT_EQ(1, Requested("/rel/R1.txt"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(leftover.c_str()));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(part.c_str())) << "a whole part kept";
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[0].bytes);
  EXPECT_EQ(0, Requested("/rel/1_Setup.exe"));
}

// Stops land at every stage of a run, including while a worker's event
// waits for the lock; none may hang, and every one leaves whole parts only.
TEST_F(DownloadRunIntegration, StopsAtAnyMomentReturnPromptly) {
  const std::vector<ReleaseFile> files = {{"Big-1a.bin", Pattern(3 * kPart, 18)},
                                          {"Setup.exe", Pattern(kPart + 1, 19)}};
  PutRelease(files);
  const std::vector<uint32_t> crcs = {CRC().Compute(files[0].bytes.data(), kPart),
                                      CRC().Compute(files[0].bytes.data() + kPart, kPart),
                                      CRC().Compute(files[0].bytes.data() + 2 * kPart, kPart)};
  for (int delay_ms : {0, 30, 120, 250, 400, 700, 1000, 1500}) {
    auto manager = NewManager();
    Start(*manager);
    ::Sleep(delay_ms);
    const DWORD start = ::GetTickCount();
    manager->StopDownload();
    EXPECT_LT(::GetTickCount() - start, 5000u) << "stop after " << delay_ms << " ms";
    EXPECT_FALSE(manager->IsRunning());
    for (int k = 0; k < 3; ++k) {
      const std::string part = ReadFileBytes(Part(L"Big_P1-1a.bin", k));
      if (!part.empty()) {
        EXPECT_EQ(crcs[k], CRC().Compute(part.data(), part.size())) << "part " << k;
      }
    }
  }
}

// The host refuses one part for all four of its worker's tries: the merge
// waits for it, every other part stays on disk, and the next attempt fetches
// that part alone. A failed part costs that part, not its file.
TEST_F(DownloadRunIntegration, PartTheHostKeepsRefusingCostsOnlyThatPart) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(3 * kPart + 100, 20)}};
  PutRelease(files);
  HostFault refuse;
  refuse.count = FileDownload::kMaxAttempts;
  refuse.status = 503;
  ASSERT_TRUE(host.SetFault("/rel/2_Setup.exe", refuse));
  auto manager = NewManager();
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  const double served = ServedShare(files[0].bytes.size());
  EXPECT_LT(served, 1.01);
  EXPECT_EQ(FileDownload::kMaxAttempts + 1, Requested("/rel/2_Setup.exe"));
  EXPECT_EQ(1, Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(1, Requested("/rel/1_Setup.exe"));
  EXPECT_EQ(1, Requested("/rel/3_Setup.exe"));
  EXPECT_EQ(1, CountLogRecords("Merging part files failed. Unable to open: " +
                               StringUtils::ToNarrow(Part(L"Setup_P1.exe", 2))));
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[0].bytes);
  EXPECT_EQ(1u, shell.Calls().size());
}

namespace {

// The private bytes of this process (Wine leaves PrivateUsage at 0 and
// keeps no peak of PagefileUsage, hence the sampling below).
uint64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
  return memory.PagefileUsage;
}

// The highest private memory seen while it lives, sampled every 10 ms.
class PeakMemory {
 public:
  PeakMemory() : thread_([this] { Sample(); }) {}
  ~PeakMemory() { Stop(); }
  uint64_t Stop() {
    ::SetEvent(stop_.Get());
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  void Sample() {
    do {
      peak_ = std::max(peak_, PrivateBytes());
    } while (::WaitForSingleObject(stop_.Get(), 10) == WAIT_TIMEOUT);
  }
  UniqueHandle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  uint64_t peak_ = 0;
  std::thread thread_;
};

// A listener whose error box the user leaves open until told.
class OpenBoxListener : public RecordingListener {
 public:
  using RecordingListener::RecordingListener;
  void ShowError(const std::wstring& text) override {
    RecordingListener::ShowError(text);
    ::SetEvent(shown.Get());
    ::WaitForSingleObject(dismissed.Get(), INFINITE);
  }
  UniqueHandle shown{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle dismissed{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

// Workers that used up their tries keep nothing, and a file's workers go
// when it is done: memory does not grow with failed parts. Six of ten
// single-part files come corrupt for every try of their worker and are
// fetched whole in the next attempt.
TEST_F(DownloadRunIntegration, FailedPartsLeaveNoMemoryBehind) {
  std::vector<ReleaseFile> files;
  for (int k = 0; k < 10; ++k) {
    files.push_back({"F" + std::to_string(k) + "-1a.bin", Pattern(kPart, 40 + k)});
  }
  files.push_back({"Setup.exe", Pattern(100, 50)});
  PutRelease(files);
  HostFault corrupt;
  corrupt.count = FileDownload::kMaxAttempts;
  corrupt.flip = {static_cast<long long>(kPart / 2)};
  for (int k = 0; k < 6; ++k) {
    ASSERT_TRUE(host.SetFault("/rel/0_F" + std::to_string(k) + "-1a.bin", corrupt));
  }
  auto manager = NewManager();
  const uint64_t before = PrivateBytes();
  PeakMemory peak;
  Start(*manager);
  ASSERT_TRUE(WaitForEnd(*manager));
  const uint64_t growth = peak.Stop() - before;
  EXPECT_EQ(1u, shell.Calls().size());
  EXPECT_EQ(FileDownload::kMaxAttempts + 1, Requested("/rel/0_F0-1a.bin"));
  EXPECT_TRUE(ReadFileBytes(Final(L"F5_P1-1a.bin")) == files[5].bytes);
  // A part in the worker, one in the checks and WinINet's buffers come to
  // about 30 MB; six kept bodies would add 60 MB more.
  EXPECT_LT(growth, 55u * 1000 * 1000) << growth / 1000000 << " MB";
}

// A pause before any worker exists holds every part: none is requested
// until the resume, and the manager says paused meanwhile.
TEST_F(DownloadRunIntegration, PauseBeforeTheFirstPartHoldsEveryPart) {
  const std::vector<ReleaseFile> files = {{"Data-1a.bin", Pattern(1000, 21)},
                                          {"Setup.exe", Pattern(kPart + 10, 22)}};
  PutRelease(files);
  // The CRC info comes late, so the pause surely lands before the workers.
  HostFault late;
  late.count = 1;
  late.stall_before_headers_ms = 1000;
  ASSERT_TRUE(host.SetFault("/rel/R1.txt", late));
  auto manager = NewManager();
  Start(*manager);
  EXPECT_TRUE(manager->TogglePause());
  for (int i = 0; i < 300 && Requested("/rel/R1.txt") < 2; ++i) ::Sleep(100);
  ::Sleep(1500);
  EXPECT_EQ(2u, host.Requests().size()) << "only the two copies of the CRC info";
  EXPECT_TRUE(manager->IsPaused());
  EXPECT_EQ(0u, manager->Progress().bytes_in_progress);
  EXPECT_TRUE(manager->IsRunning());

  EXPECT_FALSE(manager->TogglePause());
  ASSERT_TRUE(WaitForEnd(*manager));
  EXPECT_TRUE(ReadFileBytes(Final(L"Data_P1-1a.bin")) == files[0].bytes);
  EXPECT_TRUE(ReadFileBytes(Final(L"Setup_P1.exe")) == files[1].bytes);
  EXPECT_EQ(1, Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(1, Requested("/rel/1_Setup.exe"));
}

// The save-failure box waits for the user on a worker's thread; a pause
// click on the window's thread meanwhile must not wait for it.
TEST_F(DownloadRunIntegration, PauseClickDoesNotWaitForAnOpenErrorBox) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(kPart + 5, 23)}};
  PutRelease(files);
  download = dir.Path() + L"/blocker/R1";
  ASSERT_TRUE(WriteFileBytes(dir.Path() + L"/blocker", "file"));
  OpenBoxListener box{shell};
  DownloadManager manager(&box);
  manager.SetRelease({host.HostName(), L"REL", L"P1", L"?sig=secret"});
  manager.SetShell(&shell);
  Start(manager);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(box.shown.Get(), 60000));

  UniqueHandle clicked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread window([&] {
    manager.TogglePause();
    manager.TogglePause();
    ::SetEvent(clicked.Get());
  });
  const DWORD waited = ::WaitForSingleObject(clicked.Get(), 2000);
  ::SetEvent(box.dismissed.Get());
  window.join();
  EXPECT_EQ(WAIT_OBJECT_0, waited) << "the pause click waited for the open box";
  for (int i = 0; i < 100 && box.finished.load() == 0; ++i) ::Sleep(50);
  EXPECT_EQ(1, box.finished.load());
  manager.StopDownload();
  EXPECT_EQ(0, Requested("/rel/1_Setup.exe"));
}

// The program folder lies on a drive that is really full (a small tmpfs
// mapped as a drive of the prefix): the user is told before any part is
// fetched, instead of after every attempt re-fetched the release.
TEST_F(DownloadRunIntegration, FullProgramDriveIsToldBeforeAnyDownload) {
  const std::wstring drive = FullDrive();
  if (drive.empty()) GTEST_SKIP() << "no full-disk drive (VELTRA_TEST_FULL_DRIVE)";
  program = drive + L"\\early";
  ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(2 * kPart + 5000000, 21)}};
  ULARGE_INTEGER free_bytes = {};
  ASSERT_TRUE(::GetDiskFreeSpaceExW(program.c_str(), &free_bytes, nullptr, nullptr));
  ASSERT_LT(free_bytes.QuadPart, files[0].bytes.size());
  PutRelease(files);
  auto manager = NewManager();
  Start(*manager);
  WaitForFinishedThenStop(*manager);
  ServedShare(files[0].bytes.size());
  EXPECT_EQ(0, Requested("/rel/0_Setup.exe"));
  EXPECT_EQ(1, CountRecordsWithNumber(
                   "DownloadManager: not enough free space for " + StringUtils::ToNarrow(program),
                   ERROR_DISK_FULL));
  EXPECT_EQ(std::vector<std::wstring>{kSaveFailure}, listener.Errors());
  EXPECT_EQ(std::vector<std::wstring>{L"url https://support.veltra.test/help"}, shell.Calls());
  EXPECT_EQ(1, listener.finished.load());
  FileSystem::RecursivelyRemoveDirectory(program);
}

// Told that there is room, the run fetches every part once and its merge
// meets the full drive. The write that comes up short is a failed write with
// the system's reason; it ends the run with the same message, and every part
// stays for a run with more room.
TEST_F(DownloadRunIntegration, WriteToAFullProgramDriveEndsTheRunKeepingEveryPart) {
  const std::wstring drive = FullDrive();
  if (drive.empty()) GTEST_SKIP() << "no full-disk drive (VELTRA_TEST_FULL_DRIVE)";
  program = drive + L"\\late";
  ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(2 * kPart + 5000000, 22)}};
  PutRelease(files);
  FakeFreeSpaceQuery roomy;
  auto manager = NewManager();
  manager->SetFreeSpaceQuery(&roomy);
  Start(*manager);
  WaitForFinishedThenStop(*manager);
  EXPECT_LT(ServedShare(files[0].bytes.size()), 1.01);
  EXPECT_EQ(1, CountRecordsWithNumber("Merging part files failed. Unable to write to: " +
                                          StringUtils::ToNarrow(Final(L"Setup_P1.exe")),
                                      ERROR_DISK_FULL));
  EXPECT_EQ(std::vector<std::wstring>{kSaveFailure}, listener.Errors());
  EXPECT_EQ(std::vector<std::wstring>{L"url https://support.veltra.test/help"}, shell.Calls());
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_FALSE(Exists(Final(L"Setup_P1.exe")));
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(1, Requested("/rel/" + std::to_string(k) + "_Setup.exe"));
    EXPECT_TRUE(Exists(Part(L"Setup_P1.exe", k)));
  }
  FileSystem::RecursivelyRemoveDirectory(program);
}

// The disk fills up while the parts arrive: the merge is not begun, every
// part stays, the user is told once and nothing is fetched again.
TEST_F(DownloadRunIntegration, SpaceRunningOutBeforeTheMergeKeepsEveryPart) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(2 * kPart + 77, 25)}};
  PutRelease(files);
  HostFault stall;
  stall.stall_before_body_ms = 1500;
  ASSERT_TRUE(host.SetFault("/rel/2_Setup.exe", stall));
  FakeFreeSpaceQuery disk;
  auto manager = NewManager();
  manager->SetFreeSpaceQuery(&disk);
  Start(*manager);
  for (int i = 0; i < 600 && !Exists(Part(L"Setup_P1.exe", 0)); ++i) ::Sleep(50);
  disk.free_bytes = files[0].bytes.size() - 1;
  WaitForFinishedThenStop(*manager);
  EXPECT_EQ(1, CountRecordsWithNumber(
                   "DownloadManager: not enough free space for " + StringUtils::ToNarrow(program),
                   ERROR_DISK_FULL));
  EXPECT_EQ(std::vector<std::wstring>{kSaveFailure}, listener.Errors());
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_FALSE(Exists(Final(L"Setup_P1.exe")));
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(1, Requested("/rel/" + std::to_string(k) + "_Setup.exe"));
    EXPECT_TRUE(Exists(Part(L"Setup_P1.exe", k)));
  }
}

// A stop is noticed between the blocks of a large file's part checks, merge
// and verification, not at the end of the file. Its parts lie on disk as an
// earlier run left them.
TEST_F(DownloadRunIntegration, StopInsideTheDiskWorkOfALargeFileEndsWithinABlock) {
  constexpr int kParts = 16;
  std::string info = "Veltra release;Setup.exe\r\n" + std::to_string(kParts * kPart) + "\r\n";
  ASSERT_TRUE(::CreateDirectoryW(download.c_str(), nullptr));
  for (int k = 0; k < kParts; ++k) {
    const std::string part = Pattern(kPart, 100 + k);
    info += Crc(part) + "\r\n";
    ASSERT_TRUE(WriteFileBytes(Part(L"Setup_P1.exe", k), part));
  }
  ASSERT_TRUE(host.PutObject(std::string("/") + kSubdir + "/R1.txt", info));
  const uint64_t total = static_cast<uint64_t>(kParts) * kPart;
  // Stops the run once `reached` holds; returns how long the stop took.
  const auto StopWhen = [&](DownloadManager& manager, const auto& reached) {
    for (int i = 0; i < 60000 && manager.IsRunning() && !reached(); ++i) ::Sleep(1);
    EXPECT_TRUE(reached());
    const DWORD start = ::GetTickCount();
    manager.StopDownload();
    return ::GetTickCount() - start;
  };

  auto checking = NewManager();
  Start(*checking);
  const DWORD checks_ms =
      StopWhen(*checking, [&] { return checking->Progress().bytes_reused >= kPart; });
  EXPECT_LT(checking->Progress().bytes_reused, total);

  auto merging = NewManager();
  Start(*merging);
  const DWORD merge_ms = StopWhen(*merging, [&] { return merging->Progress().merge_percent >= 6; });
  EXPECT_FALSE(Exists(Final(L"Setup_P1.exe")));
  EXPECT_FALSE(Exists(Final(L"Setup_P1.exe") + L".merging"));
  for (int k = 0; k < kParts; ++k) EXPECT_TRUE(Exists(Part(L"Setup_P1.exe", k))) << k;

  auto verifying = NewManager();
  Start(*verifying);
  const DWORD verify_ms =
      StopWhen(*verifying, [&] { return verifying->Progress().bytes_verified >= kPart; });
  EXPECT_LT(verifying->Progress().bytes_verified, total);
  EXPECT_TRUE(Exists(Final(L"Setup_P1.exe")));
  EXPECT_TRUE(shell.Calls().empty());
  std::printf("stop inside the part checks: %lu ms, the merge: %lu ms, the verification: %lu ms\n",
              checks_ms, merge_ms, verify_ms);
}

namespace {

// Every file under `folder`, at any depth, with backslashes.
void CollectFiles(const std::wstring& folder, std::vector<std::wstring>& files) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CollectFiles(path, files);
    } else {
      files.push_back(path);
    }
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.compare(0, start.size(), start) == 0;
}

}  // namespace

// A handful of mutated CRC infos, each served to a whole run: the run ends
// by itself, either in the give-up path or with the release's own setup
// started from a verified release; nothing lands outside the two folders
// and nothing outside the release's folder on the host is asked for.
TEST_F(DownloadRunIntegration, MutatedCrcInfoEndsInTheGiveUpOrAVerifiedRelease) {
  const std::vector<ReleaseFile> files = {{"Setup.exe", Pattern(1000, 31)},
                                          {"Data-1a.bin", Pattern(2500, 32)}};
  const std::map<std::wstring, std::string> originals = {{L"Setup_P1.exe", files[0].bytes},
                                                         {L"Data_P1-1a.bin", files[1].bytes}};
  const uint32_t seed = CrcInfoMutator::RunSeed();
  std::printf("CRC info mutations for whole runs, seed %u (VELTRA_FUZZ_SEED)\n", seed);
  CrcInfoMutator mutator(seed);
  std::wstring download_windows = download;
  StringUtils::ReplaceAll(download_windows, L"/", L"\\");
  const std::wstring setup = program + L"/Setup_P1.exe";
  const std::wstring support = L"https://support.veltra.test/help";

  for (int round = 0; round < 6; ++round) {
    std::string kind;
    const std::string text = mutator.Mutate(CrcInfoOf(files), &kind);
    SCOPED_TRACE("whole run " + std::to_string(round) + ": " + kind);
    ASSERT_TRUE(host.Reset());
    PutRelease(files);
    ASSERT_TRUE(host.PutObject("/rel/R1.txt", text));
    FileSystem::RecursivelyRemoveDirectory(program);
    FileSystem::RecursivelyRemoveDirectory(download);
    ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));

    RecordingShell run_shell;
    RecordingListener run_listener{run_shell};
    auto manager = std::make_unique<DownloadManager>(&run_listener);
    manager->SetRelease({host.HostName(), L"REL", L"P1", L"?sig=secret"});
    manager->SetSupportCenterUrl(support);
    manager->SetShell(&run_shell);
    Start(*manager);
    ASSERT_TRUE(WaitForEnd(*manager, 120)) << "the run did not end by itself";
    manager.reset();

    const std::vector<std::wstring> calls = run_shell.Calls();
    const std::vector<std::wstring> errors = run_listener.Errors();
    const bool started = calls == std::vector<std::wstring>{L"open " + setup + L" in " + program};
    const bool gave_up = calls == std::vector<std::wstring>{L"url " + support} &&
                         errors == std::vector<std::wstring>{kGiveUp};
    // A release that verifies but names no setup says so and starts nothing.
    const bool no_setup =
        calls.empty() &&
        errors == std::vector<std::wstring>{L"Failed to run setup. Setup executable is missing."};
    // A name too long for the program's folder is refused, with the advice
    // to move the program, before anything is merged.
    const bool too_long =
        calls.empty() && errors.size() == 1 &&
        errors[0].rfind(L"The installer cannot be saved in the folder of the download manager",
                        0) == 0;
    // A CRC info that is a web page is never taken as one.
    const bool web_page = calls == std::vector<std::wstring>{L"url " + support} &&
                          errors.size() == 1 &&
                          errors[0].rfind(L"Your network answers the download with a web page",
                                          0) == 0;
    std::printf("  run %d (%s): %s\n", round, kind.c_str(),
                started    ? "setup started"
                : gave_up  ? "gave up"
                : no_setup ? "no setup"
                : too_long ? "name too long"
                : web_page ? "web page"
                           : "?");
    EXPECT_TRUE(started || gave_up || no_setup || too_long || web_page)
        << ::testing::PrintToString(calls) << "\nerrors: " << ::testing::PrintToString(errors)
        << "\nCRC info: " << ::testing::PrintToString(text)
        << "\nlog: " << Error::GetErrorListJson().dump(1);
    EXPECT_EQ(started ? 1 : 0, run_listener.finished.load());

    std::vector<std::wstring> written;
    CollectFiles(dir.Path(), written);
    for (const std::wstring& path : written) {
      EXPECT_TRUE(StartsWith(path, program + L"\\") || StartsWith(path, download_windows + L"\\"))
          << "outside the folders: " << ::testing::PrintToString(path);
      if (started && StartsWith(path, program + L"\\")) {
        // Only what the verification passed is there when the setup starts.
        const auto original = originals.find(path.substr(program.size() + 1));
        ASSERT_NE(originals.end(), original) << ::testing::PrintToString(path);
        EXPECT_TRUE(ReadFileBytes(path) == original->second) << ::testing::PrintToString(path);
      }
    }
    for (const RecordedRequest& request : host.Requests()) {
      const std::string path = request.target.substr(0, request.target.find('?'));
      EXPECT_TRUE(path.rfind("/rel/", 0) == 0 && path.find('/', 5) == std::string::npos)
          << request.target;
    }
  }
  EXPECT_FALSE(Exists(L"C:\\escaped.exe"));
}
