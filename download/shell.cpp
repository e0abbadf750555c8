#include "download/shell.h"

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>
#include <shellapi.h>

ComApartment::ComApartment()
    : initialised_(SUCCEEDED(
          ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

ComApartment::~ComApartment() {
  // S_FALSE (already initialised the same way) counts too and is balanced.
  if (initialised_) ::CoUninitialize();
}

namespace {

intptr_t Execute(const wchar_t* verb, const std::wstring& file, const wchar_t* parameters,
                 const wchar_t* folder) {
  ComApartment com;
  return reinterpret_cast<intptr_t>(
      ::ShellExecuteW(nullptr, verb, file.c_str(), parameters, folder, SW_SHOW));
}

}  // namespace

intptr_t SystemShell::OpenFile(const std::wstring& file, const std::wstring& working_folder) {
  return Execute(L"open", file, L"", working_folder.c_str());
}

intptr_t SystemShell::OpenUrl(const std::wstring& url) {
  return Execute(L"open", url, nullptr, nullptr);
}

intptr_t SystemShell::Explore(const std::wstring& folder) {
  return Execute(L"explore", folder, L"", folder.c_str());
}

SystemShell& SystemShell::Instance() {
  static SystemShell shell;
  return shell;
}
