// Stands in for things outside the program in its whole-program tests:
//   apphelper.exe                 the release's setup: leaves setup-ran.txt
//                                 in its working folder (the program folder)
//   apphelper.exe close CAPTION   closes the window with that caption, as a
//                                 user would with its close box
//   apphelper.exe shot CAPTION FILE
//                                 saves what that window shows as a BMP file
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/app/screenshot.h"

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wstring(argv[1]) == L"close") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    return ::PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
  }
  if (argc >= 4 && std::wstring(argv[1]) == L"shot") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    const std::wstring wide_file = argv[3];
    return SaveScreenshot(window, std::string(wide_file.begin(), wide_file.end()).c_str()) ? 0 : 3;
  }
  FILE* marker = _wfopen(L"setup-ran.txt", L"w");
  if (marker == nullptr) return 1;
  fputs("ran\n", marker);
  fclose(marker);
  return 0;
}
