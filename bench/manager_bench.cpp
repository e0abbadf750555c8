// Verification and merging read every byte of a release once more. This
// puts a 500 MB release on disk (five files of 100 MB, in 10,000,000-byte
// part files), then prints, in one run, the raw read speed of the part files
// next to the speed of merging them, and the raw read speed of the final
// files next to the speed of verifying them.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/crc.h"
#include "base/scopedhandle.h"
#include "download/downloadmanager.h"

namespace {

constexpr size_t kFiles = 5;
constexpr size_t kPartsPerFile = 10;
constexpr size_t kPart = 10000000;
constexpr double kTotalMb = kFiles * kPartsPerFile * kPart / 1e6;

class NoListener : public IDMListener {
 public:
  void DownloadFinished(DownloadManager*) override {}
  void ProgressChanged(DownloadManager*) override {}
  void ShowError(const std::wstring&) override {}
};

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
  return file && ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                             &written, nullptr);
}

// Reads every byte of the files in blocks of one part, as the manager does.
double RawReadSeconds(const std::vector<std::wstring>& paths) {
  std::vector<char> buffer(kPart);
  const double start = Now();
  for (const std::wstring& path : paths) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer.data(), kPart, &read, nullptr) && read > 0) {
    }
  }
  return Now() - start;
}

std::wstring Folder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + name;
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace

int main() {
  const std::wstring program = Folder(L"vdm_bench_program");
  const std::wstring download = Folder(L"vdm_bench_download");
  NoListener listener;
  DownloadManager manager(&listener);
  manager.SetRelease({L"", L"", L"B", L""});
  manager.Configure(L"", L"", L"Bench.txt", download, program);

  const CRC crc;
  std::vector<FileRecord> records;
  std::vector<std::wstring> parts, finals;
  std::vector<char> bytes(kPart);
  uint32_t seed = 1;
  for (size_t f = 0; f < kFiles; ++f) {
    FileRecord record{L"file-" + std::to_wstring(f) + L"a.bin",
                      std::to_wstring(kPartsPerFile * kPart)};
    std::wstring local;
    manager.LocalName(record, local);
    for (size_t k = 0; k < kPartsPerFile; ++k) {
      for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
      record.push_back(
          std::to_wstring(static_cast<int32_t>(crc.Compute(bytes.data(), bytes.size()))));
      parts.push_back(manager.PartPath(local, k));
      if (!WriteWhole(parts.back(), bytes)) return 1;
    }
    finals.push_back(manager.FinalPath(local));
    records.push_back(record);
  }

  const double raw_parts = RawReadSeconds(parts);
  double start = Now();
  for (const FileRecord& record : records) manager.MergeParts(record);
  const double merge = Now() - start;

  const double raw_finals = RawReadSeconds(finals);
  start = Now();
  bool verified = true;
  for (const FileRecord& record : records) verified = manager.CheckFileFromCRCInfo(record) && verified;
  const double verify = Now() - start;

  std::printf("Release of %.0f MB on disk (%zu files of %zu parts)\n", kTotalMb, kFiles,
              kPartsPerFile);
  std::printf("  raw read of the parts   %8.1f MB/s\n", kTotalMb / raw_parts);
  std::printf("  merge                   %8.1f MB/s  (%.0f %% of raw read)\n", kTotalMb / merge,
              100.0 * raw_parts / merge);
  std::printf("  raw read of the finals  %8.1f MB/s\n", kTotalMb / raw_finals);
  std::printf("  verify                  %8.1f MB/s  (%.0f %% of raw read)\n", kTotalMb / verify,
              100.0 * raw_finals / verify);

  for (const std::wstring& path : finals) ::DeleteFileW(path.c_str());
  for (const std::wstring& path : parts) ::DeleteFileW(path.c_str());
  ::RemoveDirectoryW(program.c_str());
  ::RemoveDirectoryW(download.c_str());
  return verified ? 0 : 1;
}
