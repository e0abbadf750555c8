// A small program the tests run as another process:
//   testhelper delete <path>         deletes a file
//   testhelper rename <from> <to>    renames a file
//   testhelper holddesktop           keeps the desktop's process up until
//                                    ended (see wine-run.sh --init)
//   testhelper (anything else)       stands in for a setup program: writes
//                                    its working folder to ran.txt inside it
#include <windows.h>

#include <string>

#include "base/scopedhandle.h"

namespace {

// Wine ends the desktop's process once no program uses the desktop, and the
// next window starts it again. The first call starts a second copy that
// uses the desktop until ended, and returns once it does; further calls
// find it (named objects live in the prefix's server) and return at once.
int HoldDesktop(bool stay) {
  const UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, L"Local\\VeltraTestDesktopHeld"));
  if (!held) return 1;
  const bool running = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (stay) {
    ::GetDesktopWindow();
    ::SetEvent(held.Get());
    ::Sleep(INFINITE);
  }
  if (!running) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" holddesktop stay";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
      return 1;
    }
    const UniqueHandle thread(process.hThread), child(process.hProcess);
  }
  return ::WaitForSingleObject(held.Get(), 20000) == WAIT_OBJECT_0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"delete" && argc > 2) return ::DeleteFileW(argv[2]) ? 0 : 1;
  if (mode == L"rename" && argc > 3) return ::MoveFileW(argv[2], argv[3]) ? 0 : 1;
  if (mode == L"holddesktop") return HoldDesktop(argc > 2);

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
