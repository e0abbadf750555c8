#include "app/deploymentrun.h"

#include <shlobj.h>

#include <exception>
#include <optional>
#include <string>

#include "app/deploymentshell.h"
#include "app/downloaddialog.h"
#include "app/downloadnames.h"
#include "app/exitcodes.h"
#include "app/passivelistener.h"
#include "app/quietrun.h"
#include "app/singlerun.h"
#include "app/unattendedproxyprompt.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "download/layoutsource.h"
#include "net/proxysignin.h"

namespace {

const char kModule[] = "dlgapplication";

// The readable log where the command line asked for it.
void WriteLogFile(const CommandOptions& options) {
  if (!options.log_file.empty()) Error::WriteLogFile(options.log_file);
}

int BadCommandLine(const CommandOptions& options, const std::wstring& release) {
  const bool failed = !options.error.empty();
  if (failed) {
    Error::RecordError(L"Command line refused: " + options.error + L"; nothing is downloaded",
                       ERROR_INVALID_PARAMETER, kModule, __LINE__);
  }
  if (options.quiet) {
    // Nobody reads a box: the log says it, where it was asked for or
    // beside the program.
    if (failed) {
      Error::WriteLogFile(options.log_file.empty()
                              ? FileSystem::GetExecutableFolderWide() + L"/logfile.txt"
                              : options.log_file);
    }
  } else {
    const std::wstring program =
        DownloadNames::ProgramPath().substr(DownloadNames::ProgramPath().find_last_of(L'\\') + 1);
    ::MessageBoxW(nullptr, CommandLine::Usage(program, options.error).c_str(),
                  DownloadNames::WindowCaption(release).c_str(),
                  MB_OK | (failed ? MB_ICONERROR : MB_ICONINFORMATION));
    WriteLogFile(options);
  }
  return failed ? kExitBadCommandLine : kExitSuccess;
}

// The setup's exit code when an unattended run started it, else the run's.
int FinalCode(RunEnd end, bool unattended, DeploymentShell& shell) {
  DWORD setup_code = 0;
  if (end == RunEnd::kSetupStarted && unattended && shell.WaitForSetup(setup_code)) {
    return static_cast<int>(setup_code);
  }
  return ExitCodeFor(end);
}

void ApplyOptions(DownloadManager& manager, const CommandOptions& options) {
  if (!options.layout_folder.empty()) {
    // Every level of it: a layout usually goes into a folder of its own.
    // One that cannot be made fails the run as a folder that cannot be
    // written does.
    ::SHCreateDirectoryExW(nullptr, options.layout_folder.c_str(), nullptr);
    manager.SetLayout(options.layout_folder, true);
  } else if (!options.source_folder.empty()) {
    manager.SetLayout(options.source_folder, false);
  } else {
    const std::wstring beside = LayoutBesideProgram();
    if (!beside.empty()) manager.SetLayout(beside, false);
  }
  manager.SetNoUpload(options.no_upload);
}

int RunQuiet(const CommandOptions& options, const ReleaseConfig& config,
             const std::wstring& release) {
  // Not even a box of the system's for a drive without a disk.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  DeploymentShell shell(options.setup_arguments, true);
  UnattendedProxyPrompt proxy_prompt;
  ProxySignIn::Instance().SetPrompt(&proxy_prompt);
  RunEnd end = RunEnd::kFailed;
  {
    QuietRun run(config, shell);
    ApplyOptions(run.Manager(), options);
    const std::wstring program_path = DownloadNames::ProgramPath();
    end = run.Run(release,
                  DownloadNames::DownloadFolder(DownloadNames::LocalAppDataFolder(), release),
                  DownloadNames::ProgramFolder(program_path), DownloadNames::CrcInfoName(release));
  }
  ProxySignIn::Instance().SetPrompt(nullptr);
  // For the log file: the uploaded log went before the setup's wait.
  const int code = FinalCode(end, true, shell);
  Error::LogMessage(L"Quiet run ended with exit code " + std::to_wstring(code), kModule, __LINE__);
  return code;
}

int RunDialogWithOptions(HINSTANCE instance, const CommandOptions& options) {
  DeploymentShell shell(options.setup_arguments, options.passive);
  // Before the dialog, so that it outlives the manager's events.
  std::optional<PassiveListener> passive;
  UnattendedProxyPrompt proxy_prompt;
  RunEnd end = RunEnd::kRunning;
  {
    DownloadDialog dialog(instance);
    DownloadManager& manager = dialog.Manager();
    manager.SetShell(&shell);
    ApplyOptions(manager, options);
    if (options.passive) {
      passive.emplace(dialog);
      manager.SetListener(&*passive);
      // The proxy's sign-in is a box that waits for a click.
      ProxySignIn::Instance().SetPrompt(&proxy_prompt);
    }
    dialog.Start();
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    end = manager.Ending();
  }
  return FinalCode(end, options.passive, shell);
}

}  // namespace

std::wstring LayoutBesideProgram() {
  const std::wstring program = DownloadNames::ProgramPath();
  const std::wstring folder = DownloadNames::ProgramFolder(program);
  const std::wstring crc_info = DownloadNames::CrcInfoName(DownloadNames::ReleaseName(program));
  return LayoutSource::Holds(folder, crc_info) ? folder : std::wstring();
}

int RunWithOptions(HINSTANCE instance, const CommandOptions& options, const ReleaseConfig& config) {
  const std::wstring release = DownloadNames::ReleaseName(DownloadNames::ProgramPath());
  if (!options.error.empty() || options.help) return BadCommandLine(options, release);
  int code = kExitFatal;
  try {
    SingleRun run;
    if (!run.Take(release, DownloadNames::WindowCaption(release))) {
      Error::RecordError(L"Another start of " + release + L" is running", ERROR_ALREADY_EXISTS,
                         kModule, __LINE__);
      code = kExitAlreadyRunning;
    } else {
      code = options.quiet ? RunQuiet(options, config, release)
                           : RunDialogWithOptions(instance, options);
    }
  } catch (const std::exception& e) {
    Error::LogMessage(
        std::string("An unhandled exception occured. Application will be closed") + e.what(),
        kModule, 76);
    code = kExitFatal;
  }
  WriteLogFile(options);
  return code;
}
