#include "download/setupstart.h"

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/filesystem.h"
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
  FileSystem::RecursivelyRemoveDirectory(layout.DownloadFolder());

  const std::wstring& program_folder = layout.ProgramFolder();
  const intptr_t result = shell.OpenFile(setup_path, program_folder);
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
