#include "download/shell.h"

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>
#include <shellapi.h>

#include "download/comapartment.h"

namespace {

intptr_t Execute(const wchar_t* verb, const std::wstring& file, const wchar_t* parameters,
                 const wchar_t* folder) {
  ComApartment com;
  return reinterpret_cast<intptr_t>(
      ::ShellExecuteW(nullptr, verb, file.c_str(), parameters, folder, SW_SHOW));
}

// A process cannot start in a working folder of MAX_PATH or more, even
// where the system takes long paths (Wine even corrupts its heap trying);
// the short (8.3) form of a long path names the same place within the
// limit. The path itself where there is none.
std::wstring ShortForm(const std::wstring& path) {
  if (path.size() < MAX_PATH - 1) return path;
  // Our paths join with "/", which the conversion does not take.
  std::wstring system_path = path;
  for (wchar_t& c : system_path) {
    if (c == L'/') c = L'\\';
  }
  std::wstring short_path(system_path.size() + 1, L'\0');
  const DWORD length = ::GetShortPathNameW(system_path.c_str(), short_path.data(),
                                           static_cast<DWORD>(short_path.size()));
  if (length == 0 || length >= short_path.size()) return path;
  short_path.resize(length);
  return short_path;
}

}  // namespace

intptr_t SystemShell::OpenFile(const std::wstring& file, const std::wstring& working_folder) {
  const std::wstring folder = ShortForm(working_folder);
  // Refused here rather than by a crash in the shell: "path not found".
  if (folder.size() >= MAX_PATH - 1) return SE_ERR_PNF;
  return Execute(L"open", ShortForm(file), L"", folder.c_str());
}

intptr_t SystemShell::OpenUrl(const std::wstring& url) {
  return Execute(L"open", url, nullptr, nullptr);
}

intptr_t SystemShell::Explore(const std::wstring& folder) {
  const std::wstring short_folder = ShortForm(folder);
  if (short_folder.size() >= MAX_PATH - 1) return SE_ERR_PNF;
  return Execute(L"explore", short_folder, L"", short_folder.c_str());
}

SystemShell& SystemShell::Instance() {
  static SystemShell shell;
  return shell;
}
