// Stands in for things outside the program in its whole-program tests:
//   apphelper.exe [ARGS]          the release's setup: adds a line to setup-ran.txt
//                                 in its working folder (the program folder), one per
//                                 start, with the arguments it was given; ends with N
//                                 when one of them is /exit=N
//   apphelper.exe watch PROGRAM [ARGS...]
//                                 starts PROGRAM with ARGS as a deployment tool does,
//                                 lists every top-level window of its process as long
//                                 as it runs ("window CLASS|CAPTION", once each), then
//                                 prints "exit CODE" with the whole exit code
//   apphelper.exe close CAPTION   closes the window with that caption, as a
//                                 user would with its close box
//   apphelper.exe shot CAPTION FILE
//                                 saves what that window shows as a BMP file
//   apphelper.exe closewait CAPTION
//                                 closes it and waits for its process to end;
//                                 prints the milliseconds from the close
//                                 request to the end
//   apphelper.exe answer          presses OK in an open box captioned
//                                 "Error"; prints its text
//   apphelper.exe controls CAPTION
//                                 prints, for each control of that window, its
//                                 identifier, 1 if visible (else 0) and text
//                                 (line breaks as blanks)
//   apphelper.exe minimize CAPTION
//   apphelper.exe front CAPTION   0 if that window is in front and not
//                                 minimized
//   apphelper.exe closetitled TEXT
//                                 closes every window whose caption holds TEXT
//                                 (an Explorer window the program opened)
//   apphelper.exe trustroot PEM   adds that certificate to the current user's
//                                 trusted roots (`wine certutil` does nothing)
//   apphelper.exe signin CAPTION [USER]
//                                 answers the sign-in dialog (one with a password
//                                 field) owned by that window: with USER and the
//                                 password in VELTRA_TEST_PROXY_PASSWORD and OK,
//                                 or without USER by Cancel; prints the texts the
//                                 dialog shows
//   apphelper.exe scan HOLD_MS SECONDS FOLDER...
//                                 stands in for security software for SECONDS: opens
//                                 every file that appears in the folders without
//                                 sharing as soon as it can and holds it for HOLD_MS;
//                                 prints each name it held
//   apphelper.exe deletepart SECONDS FOLDER
//                                 deletes the first part file (name ending in
//                                 "part0") once it is written; 0 when it did
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/app/screenshot.h"

namespace {

// UTF-8, so that the caller reads the text whatever the code page.
std::string Utf8(const std::wstring& text) {
  std::vector<char> utf8(text.size() * 3 + 1, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()),
                        nullptr, nullptr);
  return utf8.data();
}

std::wstring WindowText(HWND window) {
  std::vector<wchar_t> text(4096, L'\0');
  ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  return text.data();
}

int TrustRoot(const wchar_t* pem_path) {
  FILE* file = _wfopen(pem_path, L"rb");
  if (file == nullptr) return 2;
  std::string pem;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof(chunk), file)) > 0;) pem.append(chunk, got);
  fclose(file);
  DWORD size = 0;
  if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr)) {
    return 3;
  }
  std::vector<BYTE> der(size);
  ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                         nullptr);
  HCERTSTORE root =
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
  if (root == nullptr) return 4;
  const BOOL added = ::CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  ::CertCloseStore(root, 0);
  return added ? 0 : 5;
}

// A visible dialog owned by `owner` that asks for a password.
HWND SignInDialog(HWND owner) {
  struct Search {
    HWND owner;
    HWND found;
  } search{owner, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* search = reinterpret_cast<Search*>(param);
        if (::GetWindow(window, GW_OWNER) != search->owner || !::IsWindowVisible(window)) {
          return TRUE;
        }
        for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
          if (::GetWindowLongW(child, GWL_STYLE) & ES_PASSWORD) {
            search->found = window;
            return FALSE;
          }
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int AnswerSignIn(HWND dialog, const wchar_t* user) {
  struct Answer {
    const wchar_t* user;
    wchar_t password[256];
  } answer{user, {}};
  ::GetEnvironmentVariableW(L"VELTRA_TEST_PROXY_PASSWORD", answer.password, 256);
  // Every control, however deep: the system's credential dialog keeps the
  // user name's field inside a combo box.
  ::EnumChildWindows(
      dialog,
      [](HWND child, LPARAM param) -> BOOL {
        const auto* answer = reinterpret_cast<const Answer*>(param);
        wchar_t kind[32] = {};
        ::GetClassNameW(child, kind, 32);
        if (_wcsicmp(kind, L"Edit") == 0 && answer->user != nullptr) {
          const bool secret = (::GetWindowLongW(child, GWL_STYLE) & ES_PASSWORD) != 0;
          ::SendMessageW(child, WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(secret ? answer->password : answer->user));
        } else if (_wcsicmp(kind, L"Static") == 0) {
          printf("%s\n", Utf8(WindowText(child)).c_str());
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&answer));
  return ::PostMessageW(dialog, WM_COMMAND, user != nullptr ? IDOK : IDCANCEL, 0) ? 0 : 3;
}

// The names of the files in `folder`.
std::set<std::wstring> FileNames(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.insert(found.cFileName);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  return names;
}

int Scan(DWORD hold_ms, DWORD seconds, const std::vector<std::wstring>& folders) {
  std::set<std::wstring> seen;
  for (const auto& folder : folders) {
    for (const auto& name : FileNames(folder)) seen.insert(folder + L"\\" + name);
  }
  std::set<std::wstring> waiting;
  std::map<std::wstring, std::pair<HANDLE, ULONGLONG>> held;
  const ULONGLONG end = ::GetTickCount64() + seconds * 1000ULL;
  while (::GetTickCount64() < end) {
    for (const auto& folder : folders) {
      for (const auto& name : FileNames(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (seen.insert(path).second) waiting.insert(path);
      }
    }
    for (auto it = waiting.begin(); it != waiting.end();) {
      HANDLE file = ::CreateFileW(it->c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      const DWORD error = ::GetLastError();
      if (file != INVALID_HANDLE_VALUE) {
        held[*it] = {file, ::GetTickCount64() + hold_ms};
        printf("held %s\n", Utf8(*it).c_str());
        fflush(stdout);
      }
      // Still being written (a sharing violation): tried again next round.
      it = file != INVALID_HANDLE_VALUE || error != ERROR_SHARING_VIOLATION ? waiting.erase(it)
                                                                             : std::next(it);
    }
    for (auto it = held.begin(); it != held.end();) {
      if (it->second.second == 0 || ::GetTickCount64() < it->second.second) {
        ++it;
        continue;
      }
      ::CloseHandle(it->second.first);
      it->second.second = 0;
      ++it;
    }
    ::Sleep(1);
  }
  return 0;
}

int DeleteFirstPart(DWORD seconds, const std::wstring& folder) {
  const ULONGLONG end = ::GetTickCount64() + seconds * 1000ULL;
  while (::GetTickCount64() < end) {
    for (const auto& name : FileNames(folder)) {
      if (name.size() < 5 || name.compare(name.size() - 5, 5, L"part0") != 0) continue;
      if (::DeleteFileW((folder + L"\\" + name).c_str())) {
        printf("deleted %s\n", Utf8(name).c_str());
        return 0;
      }
    }
    ::Sleep(5);
  }
  return 2;
}

// One argument as CommandLineToArgvW splits it back.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

int Watch(int argc, wchar_t** argv) {
  std::wstring command = Quoted(argv[2]);
  for (int i = 3; i < argc; ++i) command += L" " + Quoted(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return 2;
  }
  static DWORD watched;
  static std::set<std::wstring> seen;
  watched = process.dwProcessId;
  const auto look = [] {
    ::EnumWindows(
        [](HWND window, LPARAM) -> BOOL {
          DWORD owner = 0;
          ::GetWindowThreadProcessId(window, &owner);
          if (owner != watched) return TRUE;
          wchar_t kind[256] = {};
          ::GetClassNameW(window, kind, 256);
          const std::wstring seen_as = std::wstring(kind) + L"|" + WindowText(window);
          if (seen.insert(seen_as).second) {
            printf("window %s\n", Utf8(seen_as).c_str());
            fflush(stdout);
          }
          return TRUE;
        },
        0);
  };
  // Hidden windows count too: a quiet run makes none at all.
  while (::WaitForSingleObject(process.hProcess, 2) == WAIT_TIMEOUT) look();
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  printf("exit %lu\n", code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Texts go out byte for byte, line breaks included.
  _setmode(_fileno(stdout), _O_BINARY);
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
  if (argc >= 3 && std::wstring(argv[1]) == L"closewait") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    DWORD process_id = 0;
    ::GetWindowThreadProcessId(window, &process_id);
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return 3;
    const ULONGLONG start = ::GetTickCount64();
    if (!::PostMessageW(window, WM_CLOSE, 0, 0)) return 3;
    const DWORD wait = ::WaitForSingleObject(process, 600000);
    printf("%llu\n", ::GetTickCount64() - start);
    ::CloseHandle(process);
    return wait == WAIT_OBJECT_0 ? 0 : 4;
  }
  if (argc >= 2 && std::wstring(argv[1]) == L"answer") {
    HWND box = ::FindWindowW(L"#32770", L"Error");
    if (box == nullptr) return 2;
    fputs(Utf8(WindowText(::GetDlgItem(box, 0xFFFF))).c_str(), stdout);
    return ::PostMessageW(box, WM_COMMAND, IDOK, 0) ? 0 : 3;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"controls") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
      std::string text = Utf8(WindowText(child));
      // One line per control.
      for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      printf("%d %d %s\n", ::GetDlgCtrlID(child), ::IsWindowVisible(child) ? 1 : 0, text.c_str());
    }
    return 0;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"minimize") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    ::ShowWindow(window, SW_MINIMIZE);
    return ::IsIconic(window) ? 0 : 3;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"front") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    return ::GetForegroundWindow() == window && !::IsIconic(window) ? 0 : 3;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"closetitled") {
    static std::wstring text;
    text = argv[2];
    ::EnumWindows(
        [](HWND window, LPARAM) -> BOOL {
          if (WindowText(window).find(text) != std::wstring::npos) {
            ::PostMessageW(window, WM_CLOSE, 0, 0);
          }
          return TRUE;
        },
        0);
    return 0;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"trustroot") return TrustRoot(argv[2]);
  if (argc >= 3 && std::wstring(argv[1]) == L"signin") {
    HWND window = ::FindWindowW(nullptr, argv[2]);
    if (window == nullptr) return 2;
    HWND dialog = SignInDialog(window);
    if (dialog == nullptr) return 2;
    return AnswerSignIn(dialog, argc >= 4 ? argv[3] : nullptr);
  }
  if (argc >= 5 && std::wstring(argv[1]) == L"scan") {
    return Scan(static_cast<DWORD>(_wtoi(argv[2])), static_cast<DWORD>(_wtoi(argv[3])),
                std::vector<std::wstring>(argv + 4, argv + argc));
  }
  if (argc >= 4 && std::wstring(argv[1]) == L"deletepart") {
    return DeleteFirstPart(static_cast<DWORD>(_wtoi(argv[2])), argv[3]);
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"watch") return Watch(argc, argv);
  FILE* marker = _wfopen(L"setup-ran.txt", L"a");
  if (marker == nullptr) return 1;
  std::wstring line = L"ran";
  int code = 0;
  for (int i = 1; i < argc; ++i) {
    line += L" " + std::wstring(argv[i]);
    if (wcsncmp(argv[i], L"/exit=", 6) == 0) code = _wtoi(argv[i] + 6);
  }
  fputs((Utf8(line) + "\n").c_str(), marker);
  fclose(marker);
  return code;
}
