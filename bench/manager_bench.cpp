// Verification and merging read every byte of a release once more. This
// puts a 500 MB release on disk (five files of 100 MB, in 10,000,000-byte
// part files), then prints the raw read speed of the part files next to the
// speed of merging them, and the raw read speed of the final files next to
// the speed of verifying them. Two more lines give the floors of each step:
// a plain copy of the parts (read and write, no checks) and a plain read of
// the finals with their CRC-32.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/blockio.h"
#include "base/crc.h"
#include "base/scopedhandle.h"
#include "download/partstore.h"

namespace {

constexpr size_t kFiles = 5;
constexpr size_t kPartsPerFile = 10;
constexpr size_t kPart = 10000000;
constexpr double kTotalMb = kFiles * kPartsPerFile * kPart / 1e6;

double Now() {
  LARGE_INTEGER frequency, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

bool WriteWhole(const std::wstring& path, const std::vector<char>& bytes) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file &&
         ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Reads every byte of the files in blocks of one part, as the manager does;
// with `crc`, also takes the CRC-32 of every block.
double RawReadSeconds(const std::vector<std::wstring>& paths, bool crc = false) {
  std::vector<char> buffer(kPart);
  const CRC checker;
  uint32_t sum = 0;
  const double start = Now();
  for (const std::wstring& path : paths) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer.data(), kPart, &read, nullptr) && read > 0) {
      if (crc) sum ^= checker.Compute(buffer.data(), read);
    }
  }
  const double seconds = Now() - start;
  if (crc && sum == 0x5A5A5A5A) std::printf("  (a rare sum)\n");
  return seconds;
}

// Appends the parts of each file to a copy in `folder`, reading and writing
// as the merge does, without checks: what writing the finals costs at the
// least. The copies are removed afterwards, outside the time.
double RawCopySeconds(const std::vector<std::wstring>& parts, const std::wstring& folder) {
  std::vector<uint8_t> buffer(kPart);
  std::vector<std::wstring> copies;
  const double start = Now();
  for (size_t f = 0; f < kFiles; ++f) {
    copies.push_back(folder + L"\\copy-" + std::to_wstring(f) + L".bin");
    UniqueHandle copy(::CreateFileW(copies.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    for (size_t k = 0; k < kPartsPerFile; ++k) {
      UniqueHandle part(::CreateFileW(parts[f * kPartsPerFile + k].c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      DWORD read = 0, written = 0;
      if (part && ::ReadFile(part.Get(), buffer.data(), kPart, &read, nullptr)) {
        WriteBlock(copy.Get(), buffer.data(), read, written);
      }
    }
  }
  const double seconds = Now() - start;
  for (const std::wstring& path : copies) ::DeleteFileW(path.c_str());
  return seconds;
}

std::wstring Folder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + name;
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// The release's records; with `write`, the part files are written too.
bool MakeRelease(const ReleaseLayout& layout, bool write, std::vector<ManifestFile>& records,
                 std::vector<std::wstring>& parts, std::vector<std::wstring>& finals) {
  const CRC crc;
  std::vector<char> bytes(kPart);
  uint32_t seed = 1;
  for (size_t f = 0; f < kFiles; ++f) {
    ManifestFile record{L"file-" + std::to_wstring(f) + L"a.bin",
                        L"",
                        static_cast<uint32_t>(kPartsPerFile * kPart),
                        {}};
    layout.LocalName(record, record.local_name);
    for (size_t k = 0; k < kPartsPerFile; ++k) {
      for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
      record.part_crcs.push_back(static_cast<int32_t>(crc.Compute(bytes.data(), bytes.size())));
      parts.push_back(layout.PartPath(record.local_name, k));
      if (write && !WriteWhole(parts.back(), bytes)) return false;
    }
    finals.push_back(layout.FinalPath(record.local_name));
    records.push_back(record);
  }
  return true;
}

// Prints the speed of a step; `raw` > 0 adds its share of that raw read.
void Print(const char* what, double seconds, double raw = 0) {
  std::printf("  %-22s %8.1f MB/s", what, kTotalMb / seconds);
  if (raw > 0) std::printf("  (%.0f %% of the raw read)", 100.0 * raw / seconds);
  std::printf("\n");
}

}  // namespace

// Without an argument: the whole measurement on files the system has just
// written (read from its cache). With one, a single step, so that a script
// can drop the files from the cache between steps: prepare, rawparts,
// rawcopy, merge, rawfinals, rawcrc, verify, clean.
int main(int argc, char** argv) {
  const std::string step = argc > 1 ? argv[1] : "all";
  const std::wstring program = Folder(L"vdm_bench_program");
  const std::wstring download = Folder(L"vdm_bench_download");
  ReleaseLayout layout;
  layout.SetRelease(L"", L"B");
  layout.Configure(L"", L"Bench.txt", download, program);
  FileSystemWatcher watcher;
  ProgressCounters progress;
  FlagEvent running;
  running.store(true);
  PartStore store(layout, watcher, progress, StopToken(running));

  std::vector<ManifestFile> records;
  std::vector<std::wstring> parts, finals;
  if (!MakeRelease(layout, step == "all" || step == "prepare", records, parts, finals)) {
    return 1;
  }

  bool verified = true;
  if (step == "all") {
    std::printf("Release of %.0f MB on disk (%zu files of %zu parts), in the system's cache\n",
                kTotalMb, kFiles, kPartsPerFile);
  }
  double raw_parts = 0, raw_finals = 0;
  if (step == "all" || step == "rawparts") {
    raw_parts = RawReadSeconds(parts);
    Print("raw read of the parts", raw_parts);
  }
  if (step == "all" || step == "rawcopy") {
    Print("raw copy of the parts", RawCopySeconds(parts, program), raw_parts);
  }
  if (step == "all" || step == "merge") {
    const double start = Now();
    for (const ManifestFile& record : records) {
      if (store.PartsComplete(record, record.local_name)) {
        store.Merge(record, record.local_name, true);
      }
    }
    Print("merge", Now() - start, raw_parts);
  }
  if (step == "all" || step == "rawfinals") {
    raw_finals = RawReadSeconds(finals);
    Print("raw read of the finals", raw_finals);
  }
  if (step == "all" || step == "rawcrc") {
    Print("raw read and CRC", RawReadSeconds(finals, true), raw_finals);
  }
  if (step == "all" || step == "verify") {
    const double start = Now();
    for (const ManifestFile& record : records) {
      verified = store.CheckFinalFile(record, record.local_name) && verified;
    }
    Print("verify", Now() - start, raw_finals);
  }
  if (step == "all" || step == "clean") {
    for (const std::wstring& path : finals) ::DeleteFileW(path.c_str());
    for (const std::wstring& path : parts) ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(program.c_str());
    ::RemoveDirectoryW(download.c_str());
  }
  return verified ? 0 : 1;
}
