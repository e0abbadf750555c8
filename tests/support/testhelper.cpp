// A small program the tests run as another process:
//   testhelper delete <path>         deletes a file
//   testhelper rename <from> <to>    renames a file
//   testhelper (anything else)       stands in for a setup program: writes
//                                    its working folder to ran.txt inside it
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"delete" && argc > 2) return ::DeleteFileW(argv[2]) ? 0 : 1;
  if (mode == L"rename" && argc > 3) return ::MoveFileW(argv[2], argv[3]) ? 0 : 1;

  wchar_t folder[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, folder);
  const std::wstring record = std::wstring(folder) + L"\\ran.txt";
  HANDLE file = ::CreateFileW(record.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  ::WriteFile(file, folder, static_cast<DWORD>(wcslen(folder) * sizeof(wchar_t)), &written,
              nullptr);
  ::CloseHandle(file);
  return 0;
}
