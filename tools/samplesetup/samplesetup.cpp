// The setup program of the sample release that scripts/run.sh publishes and
// downloads. It records each start (its command line and working folder) in
// <own name>.started.txt beside itself, one line per start, so that a run can
// tell that the download manager started it, and how often; then it says that
// the release is installed.
#include <windows.h>

#include <string>

#include "base/scopedhandle.h"

namespace {

std::wstring OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring WorkingFolder() {
  const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(length, L'\0');
  folder.resize(::GetCurrentDirectoryW(length, folder.data()));
  return folder;
}

std::string ToUtf8(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
  return utf8;
}

bool RecordStart(const std::wstring& record, const std::wstring& line) {
  // Appended, so that a second start shows as a second line.
  UniqueHandle file(::CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const std::string utf8 = ToUtf8(line);
  DWORD written = 0;
  return ::WriteFile(file.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
                     nullptr) &&
         written == utf8.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring own = OwnPath();
  const size_t slash = own.find_last_of(L"\\/");
  const size_t dot = own.rfind(L'.');
  const std::wstring stem = own.substr(0, dot != std::wstring::npos && dot > slash + 1 ? dot : own.size());
  const std::wstring folder = WorkingFolder();
  if (!RecordStart(stem + L".started.txt",
                   L"command line: " + std::wstring(::GetCommandLineW()) +
                       L"\tworking folder: " + folder + L"\r\n")) {
    return 1;
  }
  const std::wstring text = L"The release is installed.\n\nIts files are in " + folder + L".";
  ::MessageBoxW(nullptr, text.c_str(), L"Veltra setup", MB_OK | MB_ICONINFORMATION);
  return 0;
}
