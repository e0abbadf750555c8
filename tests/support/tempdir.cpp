#include "tests/support/tempdir.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "base/scopedhandle.h"

namespace {

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (find) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(path);
      } else if (!::DeleteFileW(path.c_str())) {
        ::RemoveDirectoryW(path.c_str());
      }
    } while (::FindNextFileW(find.Get(), &entry));
  }
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  path_ = std::wstring(base) + L"vdm_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
          std::to_wstring(counter++);
  RemoveTree(path_);
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}
