#include "app/downloadnames.h"

#include <windows.h>

#include <shlobj.h>

#include <stdexcept>

#include "base/filesystem.h"
#include "base/stringutils.h"

namespace {

constexpr size_t kPathBuffer = 260;

}  // namespace

std::wstring DownloadNames::ReleaseName(const std::wstring& program_path) {
  const size_t slash = program_path.rfind(L'\\');
  std::wstring name = slash == std::wstring::npos ? program_path : program_path.substr(slash + 1);
  // The last four characters go whatever they are (".exe", ".EXE", ...).
  if (name.size() >= 4) name.resize(name.size() - 4);
  const size_t underscore = name.rfind(L'_');
  // An empty name ("_web.exe") would make the download folder the whole
  // application-data folder, which the manager removes after a success.
  if (underscore == std::wstring::npos || underscore == 0) {
    throw std::out_of_range("invalid string position");
  }
  name.resize(underscore);
  return name;
}

std::wstring DownloadNames::ProgramFolder(const std::wstring& program_path) {
  const size_t slash = program_path.rfind(L'\\');
  return slash == std::wstring::npos ? program_path : program_path.substr(0, slash);
}

std::wstring DownloadNames::DownloadFolder(const std::wstring& local_app_data,
                                           const std::wstring& release_name) {
  std::wstring folder = local_app_data + L"/" + release_name;
  StringUtils::ReplaceAll(folder, L"\\", L"/");
  return folder;
}

std::wstring DownloadNames::CrcInfoName(const std::wstring& release_name) {
  return release_name + L".txt";
}

std::wstring DownloadNames::WindowCaption(const std::wstring& release_name) {
  return release_name + L" download manager";
}

std::wstring DownloadNames::ProgramPath() { return FileSystem::GetExecutablePathWide(); }

std::wstring DownloadNames::LocalAppDataFolder() {
  wchar_t buffer[kPathBuffer] = {};
  if (SUCCEEDED(
          ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)) &&
      buffer[0] != L'\0') {
    return buffer;
  }
  // Without it the download folder would land in the root of the current
  // drive; the user's temporary folder is the next private place.
  wchar_t temp[kPathBuffer + 1] = {};
  const DWORD length = ::GetTempPathW(kPathBuffer + 1, temp);
  std::wstring folder(temp, length <= kPathBuffer ? length : 0);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}
