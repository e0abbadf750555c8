#include "download/setupstart.h"

#include <windows.h>
#include <shellapi.h>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/filesystem.h"
#include "base/heldfileretry.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

SetupStart::Outcome SetupStart::Launch(IShell& shell, const std::wstring& setup_path,
                                       const ShowError& show_error) {
  if (setup_path.empty()) {
    const std::wstring text = L"Failed to run setup. Setup executable is missing.";
    Error::RecordError(text, static_cast<uint32_t>(DL_MANAGER_EXECUTABLE_MISSING), kModule,
                       __LINE__);
    show_error(text);
    return Outcome::kMissing;
  }
  if (Error::HasErrors()) {
    Error::LogError("The download contained errors, but they seem to be resolved. Starting setup",
                    static_cast<uint32_t>(DL_MANAGER_ERRORS_RESOLVED), kModule, __LINE__);
  }
  watcher.Stop(kStopWaitMs);
  FileSystem::RecursivelyRemoveDirectory(layout.DownloadFolder(), stop ? &*stop : nullptr);

  const std::wstring& program_folder = layout.ProgramFolder();
  const intptr_t result = OpenSetup(shell, setup_path);
  if (result > kShellErrorMax) return Outcome::kStarted;
  const std::wstring message =
      L"Unable to start setup. You can start it manually by executing the file " + setup_path +
      L" in folder " + program_folder + L". The error message is: ";
  const std::wstring text =
      Error::FormatError(message, static_cast<uint32_t>(result), kModule, __LINE__);
  Error::RecordError(text, 0, "", 0);
  show_error(text);
  shell.Explore(program_folder);
  return Outcome::kRefused;
}

intptr_t SetupStart::OpenSetup(IShell& shell, const std::wstring& setup_path) {
  const StopToken* until = stop ? &*stop : nullptr;
  // A scanner that holds the setup it has just seen written makes the start
  // fail with a bare "bad format" under Wine: the file is waited for first,
  // opened as the start opens it.
  HeldFileRetry::Retry(L"starting", setup_path, true, until, [&setup_path] {
    UniqueHandle file(::CreateFileW(setup_path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
  });
  intptr_t result = 0;
  // Windows names the hold in the shell's own result.
  HeldFileRetry::Retry(L"starting", setup_path, true, until, [&] {
    result = shell.OpenFile(setup_path, layout.ProgramFolder());
    if (result > kShellErrorMax) return true;
    ::SetLastError(result == SE_ERR_SHARE ? ERROR_SHARING_VIOLATION
                                          : static_cast<DWORD>(result));
    return false;
  });
  return result;
}
