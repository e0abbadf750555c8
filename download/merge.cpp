#include "download/downloadmanager.h"

#include <windows.h>

#include <algorithm>

#include "base/blockfile.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/filesystem.h"
#include "base/scopedhandle.h"

namespace {

const char kModule[] = "downloadmanager";
const wchar_t kMergingSuffix[] = L".merging";

}  // namespace

void DownloadManager::MergeParts(const FileRecord& record) {
  std::wstring local;
  if (!LocalName(record, local)) return;
  current_file = local;
  const std::wstring final_path = FinalPath(local);
  // A merge that stopped at a missing part would have used up the parts
  // before it; without every part nothing is touched, and the next attempt
  // fetches only what is missing.
  if (!PartsComplete(record, local)) return;
  if (!HasRoom(program_folder, RecordFileSize(record))) {
    ReportSaveFailure();
    return;
  }
  // Written under a name of its own and renamed once whole: a process ended
  // in the middle would otherwise leave a final file that the next start
  // takes for finished.
  const std::wstring merging_path = final_path + kMergingSuffix;
  UniqueHandle final_file(::CreateFileW(merging_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!final_file) {
    Error::RecordError(L"Merging part files failed. Unable to create: " + final_path,
                       ::GetLastError(), kModule, __LINE__);
    return;
  }
  merge_percent.store(0, std::memory_order_relaxed);
  merging.store(true, std::memory_order_relaxed);
  // Sized once up front instead of grown by every write; cut to what was
  // really written at the end. Never more than the parts can fill, whatever
  // the size line claims.
  const size_t parts = RecordPartCount(record);
  LARGE_INTEGER expected_size;
  expected_size.QuadPart = static_cast<LONGLONG>(
      std::min<uint64_t>(RecordFileSize(record), static_cast<uint64_t>(parts) * part_size));
  if (::SetFilePointerEx(final_file.Get(), expected_size, nullptr, FILE_BEGIN)) {
    ::SetEndOfFile(final_file.Get());
    ::SetFilePointerEx(final_file.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
  }

  // The parts go only once the whole file is written: a merge that fails
  // half-way, or is stopped, costs no part.
  enum class Outcome { kMerged, kFailed, kNotSaved, kStopped };
  Outcome outcome = Outcome::kMerged;
  const CRC crc;
  for (size_t k = 0; k < parts && outcome == Outcome::kMerged; ++k) {
    if (StopRequested()) {
      outcome = Outcome::kStopped;
      break;
    }
    merge_percent.store(static_cast<uint64_t>(100.0 * k / parts), std::memory_order_relaxed);
    const std::wstring part_path = PartPath(local, k);
    UniqueHandle part(::CreateFileW(part_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!part) {
      Error::RecordError(L"Merging part files failed. Unable to open: " + part_path,
                         ::GetLastError(), "", 0);
      outcome = Outcome::kFailed;
      break;
    }
    const DWORD size = ::GetFileSize(part.Get(), nullptr);
    DWORD read = 0;
    if (size == INVALID_FILE_SIZE ||
        !ReadBlock(part.Get(), block_buffer.Reserve(size), size, read)) {
      Error::RecordError(L"Merging part files failed. Unable to read: " + part_path,
                         ::GetLastError(), kModule, __LINE__);
      outcome = Outcome::kFailed;
      break;
    }
    if (static_cast<int32_t>(crc.Compute(block_buffer.Data(), read)) != RecordPartCrc(record, k)) {
      Error::RecordError(L"CRC Check of file : " + final_path + L" failed!", ::GetLastError(),
                         kModule, __LINE__);
      outcome = Outcome::kFailed;
      break;
    }
    DWORD written = 0;
    if (!WriteBlock(final_file.Get(), block_buffer.Data(), read, written)) {
      Error::RecordError(L"Merging part files failed. Unable to write to: " + final_path,
                         ::GetLastError(), kModule, __LINE__);
      outcome = Outcome::kNotSaved;
    }
  }

  if (outcome == Outcome::kMerged) ::SetEndOfFile(final_file.Get());
  final_file.Reset();
  if (outcome == Outcome::kMerged &&
      !::MoveFileExW(merging_path.c_str(), final_path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Error::RecordError(L"Merging part files failed. Unable to create: " + final_path,
                       ::GetLastError(), kModule, __LINE__);
    outcome = Outcome::kFailed;
  }
  if (outcome == Outcome::kMerged) {
    for (size_t k = 0; k < parts; ++k) DeleteOwnFile(PartPath(local, k));
  } else {
    DeleteOwnFile(merging_path);
  }
  merging.store(false, std::memory_order_relaxed);
  // Another attempt would write to the same place and fail again.
  if (outcome == Outcome::kNotSaved) ReportSaveFailure();
}

bool DownloadManager::PartsComplete(const FileRecord& record, const std::wstring& local) const {
  for (size_t k = 0; k < RecordPartCount(record); ++k) {
    const std::wstring path = PartPath(local, k);
    uint64_t size = 0;
    if (!FileSize(path, size)) {
      Error::RecordError(L"Merging part files failed. Unable to open: " + path, ::GetLastError(),
                         "", 0);
      return false;
    }
    if (size != PartBytes(record, k)) {
      Error::RecordError(L"Merging part files failed. Wrong size of: " + path + L": " +
                             std::to_wstring(size) + L" bytes, " +
                             std::to_wstring(PartBytes(record, k)) + L" expected",
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      return false;
    }
  }
  return true;
}

void DownloadManager::LaunchSetup(const std::wstring& setup_path) {
  if (setup_path.empty()) {
    const std::wstring text = L"Failed to run setup. Setup executable is missing.";
    Error::RecordError(text, static_cast<uint32_t>(DL_MANAGER_EXECUTABLE_MISSING), kModule,
                       __LINE__);
    if (listener) {
      listener->ShowError(text);
      listener->DownloadFailed(this);
    }
    return;
  }
  if (Error::HasErrors()) {
    Error::LogError("The download contained errors, but they seem to be resolved. Starting setup",
                    static_cast<uint32_t>(DL_MANAGER_ERRORS_RESOLVED), kModule, __LINE__);
  }
  watcher.Stop(500);
  FileSystem::RecursivelyRemoveDirectory(download_folder);

  const intptr_t result = shell->OpenFile(setup_path, program_folder);
  setup_started.store(result > 32, std::memory_order_relaxed);
  if (result <= 32) {
    const std::wstring message =
        L"Unable to start setup. You can start it manually by executing the file " + setup_path +
        L" in folder " + program_folder + L". The error message is: ";
    const std::wstring text =
        Error::FormatError(message, static_cast<uint32_t>(result), kModule, __LINE__);
    Error::RecordError(text, 0, "", 0);
    if (listener) listener->ShowError(text);
    shell->Explore(program_folder);
  }
  if (listener) listener->DownloadFinished(this);
}
