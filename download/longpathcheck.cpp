#include "download/longpathcheck.h"

#include <windows.h>

#include <algorithm>

#include "base/scopedhandle.h"

namespace {

constexpr wchar_t kMergingSuffix[] = L".merging";

}  // namespace

size_t LongPathCheck::LongestName(const ReleaseManifest& records) {
  size_t longest = 0;
  for (const ManifestFile& record : records) longest = std::max(longest, record.local_name.size());
  return longest + wcslen(kMergingSuffix);
}

bool LongPathCheck::Takes(const std::wstring& folder, size_t length) {
  // Made and gone again at once; a name that is there already was made.
  const std::wstring probe = folder + L"\\" + std::wstring(length, L'x');
  UniqueHandle file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (file) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return true;
  if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME) return false;
  // Windows without long paths answers a path beyond MAX_PATH as "path not
  // found", Wine a name beyond the Unix limit as "file not found": in a
  // folder that is there, both mean too long. Other refusals (a folder
  // that is not there, or read-only) are no question of length; they are
  // reported where the files are written.
  return (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
         ::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::wstring LongPathCheck::Advice(const std::wstring& folder, const std::wstring& program_path) {
  const std::wstring program_file = program_path.substr(program_path.find_last_of(L"\\/") + 1);
  return L"The installer cannot be saved in the folder of the download manager, because the "
         L"folder's path is too long:\r\n" +
         folder + L"\r\n\r\nPlease move " + program_file +
         L" to a folder with a shorter path, for example C:\\Downloads, and start it again.";
}
