#include "tests/support/managertest.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/scopedhandle.h"

int CountLogRecords(const std::string& text) {
  int count = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["message"].get<std::string>().find(text) != std::string::npos) count++;
  }
  return count;
}

int CountLogNumber(int32_t number) {
  int count = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["error_number"].get<int32_t>() == number) count++;
  }
  return count;
}

void ExpectGaveUp(RecordingListener& listener, RecordingShell& shell,
                  const std::wstring& support_url) {
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED));
  EXPECT_EQ(
      std::vector<std::wstring>{
          L"Downloading setup failed.\rYou are now directed to our Support Center for help."},
      listener.Errors());
  EXPECT_EQ(std::vector<std::wstring>{L"url " + support_url}, shell.Calls());
  EXPECT_EQ(0, listener.finished.load());
}

std::wstring HelperPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.rfind(L'\\')) + L"\\testhelper.exe";
}

bool RunHelper(const std::wstring& arguments) {
  std::wstring command = L"\"" + HelperPath() + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  UniqueHandle process_handle(process.hProcess);
  UniqueHandle thread_handle(process.hThread);
  if (::WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) return false;
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  return code == 0;
}
