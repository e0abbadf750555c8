#include "download/partstore.h"

#include <windows.h>

#include <algorithm>

#include "base/blockio.h"
#include "base/error.h"
#include "base/heldfileretry.h"
#include "base/scopedhandle.h"

namespace {

const char kModule[] = "downloadmanager";
const wchar_t kMergingSuffix[] = L".merging";

}  // namespace

PartStore::MergeResult PartStore::Merge(const ManifestFile& record, const std::wstring& local,
                                        bool shown) {
  const std::wstring final_path = layout.FinalPath(local);
  // Written under a name of its own and renamed once whole: a process ended
  // in the middle would otherwise leave a final file that the next start
  // takes for finished.
  const std::wstring merging_path = final_path + kMergingSuffix;
  UniqueHandle final_file(::CreateFileW(merging_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!final_file) {
    Error::RecordError(L"Merging part files failed. Unable to create: " + final_path,
                       ::GetLastError(), kModule, __LINE__);
    return MergeResult::kFailed;
  }
  progress.merge_percent.store(0, std::memory_order_relaxed);
  progress.merging.store(shown, std::memory_order_relaxed);
  // Sized once up front instead of grown by every write; cut to what was
  // really written at the end. Never more than the parts can fill, whatever
  // the size line claims.
  const size_t parts = record.part_crcs.size();
  LARGE_INTEGER expected_size;
  expected_size.QuadPart = static_cast<LONGLONG>(
      std::min<uint64_t>(record.size, static_cast<uint64_t>(parts) * layout.PartSize()));
  if (::SetFilePointerEx(final_file.Get(), expected_size, nullptr, FILE_BEGIN)) {
    ::SetEndOfFile(final_file.Get());
    ::SetFilePointerEx(final_file.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
  }

  // The parts go only once the whole file is written: a merge that fails
  // half-way, or is stopped, costs no part.
  MergeResult outcome = MergeResult::kMerged;
  const SliceSink write = [&](const uint8_t* bytes, DWORD size) {
    DWORD written = 0;
    return WriteBlock(final_file.Get(), bytes, size, written);
  };
  for (size_t k = 0; k < parts && outcome == MergeResult::kMerged; ++k) {
    if (stop.StopRequested()) {
      outcome = MergeResult::kStopped;
      break;
    }
    progress.merge_percent.store(static_cast<uint64_t>(100.0 * k / parts),
                                 std::memory_order_relaxed);
    const std::wstring part_path = layout.PartPath(local, k);
    UniqueHandle part = OpenOwnFile(part_path);
    if (!part) {
      Error::RecordError(L"Merging part files failed. Unable to open: " + part_path,
                         ::GetLastError(), "", 0);
      outcome = MergeResult::kFailed;
      break;
    }
    // The slices are written as they are read; the CRC is known only at the
    // part's end, and a wrong part then fails the merge, whose file goes.
    uint32_t crc = 0;
    uint64_t read = 0;
    switch (ReadSlices(part.Get(), UINT64_MAX, crc, read, write)) {
      case SliceResult::kRead:
        if (static_cast<int32_t>(crc) != record.part_crcs.at(k)) {
          Error::RecordError(L"CRC Check of file : " + final_path + L" failed!", ::GetLastError(),
                             kModule, __LINE__);
          outcome = MergeResult::kFailed;
        }
        break;
      case SliceResult::kReadFailed:
        Error::RecordError(L"Merging part files failed. Unable to read: " + part_path,
                           ::GetLastError(), kModule, __LINE__);
        outcome = MergeResult::kFailed;
        break;
      case SliceResult::kSinkFailed:
        Error::RecordError(L"Merging part files failed. Unable to write to: " + final_path,
                           ::GetLastError(), kModule, __LINE__);
        outcome = MergeResult::kNotSaved;
        break;
      case SliceResult::kStopped:
        outcome = MergeResult::kStopped;
        break;
    }
  }

  if (outcome == MergeResult::kMerged) ::SetEndOfFile(final_file.Get());
  final_file.Reset();
  if (outcome == MergeResult::kMerged &&
      !HeldFileRetry::Retry(L"renaming", merging_path, true, &stop, [&merging_path, &final_path] {
        return ::MoveFileExW(merging_path.c_str(), final_path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      })) {
    Error::RecordError(L"Merging part files failed. Unable to create: " + final_path,
                       ::GetLastError(), kModule, __LINE__);
    outcome = MergeResult::kFailed;
  }
  if (outcome == MergeResult::kMerged) {
    final_names.Add(local);
    for (size_t k = 0; k < parts; ++k) DeleteOwnFile(layout.PartPath(local, k));
  } else {
    DeleteOwnFile(merging_path);
  }
  progress.merging.store(false, std::memory_order_relaxed);
  return outcome;
}
