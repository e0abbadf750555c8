#include "app/dlgapplication.h"

#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <string>

#include "app/commandline.h"
#include "app/deploymentrun.h"
#include "app/downloaddialog.h"
#include "app/downloadnames.h"
#include "app/exitcodes.h"
#include "app/releaseconfig.h"
#include "app/singlerun.h"
#include "base/error.h"
#include "base/faulttranslator.h"

namespace {

// Written once before any other thread exists, only read afterwards.
HINSTANCE module_instance = nullptr;

// Ends COM on every path out of the entry after a successful start.
class ComScope {
 public:
  ComScope() = default;
  ~ComScope() { ::CoUninitialize(); }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

void RunDialog(HINSTANCE instance) {
  const std::wstring release = DownloadNames::ReleaseName(DownloadNames::ProgramPath());
  SingleRun run;
  if (!run.Take(release, DownloadNames::WindowCaption(release))) return;
  DownloadDialog dialog(instance);
  // A program started from a layout installs from it.
  const std::wstring layout = LayoutBesideProgram();
  if (!layout.empty()) dialog.Manager().SetLayout(layout, false);
  dialog.Start();
  RunMessageLoop(dialog.Window());
}

}  // namespace

void RunMessageLoop(HWND dialog) {
  MSG msg;
  // GetMessageW returns -1 on failure; looping on it would spin forever.
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // The dialog manager's keys: Tab moves the focus, Space and Enter press
    // the focused button, Esc cancels.
    if (::IsDialogMessageW(dialog, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

HINSTANCE ModuleInstance() { return module_instance; }

int DlgApplicationMain(HINSTANCE instance) {
  return DlgApplicationMain(instance, nullptr, nullptr);
}

int DlgApplicationMain(HINSTANCE instance, const wchar_t* command_line,
                       const ReleaseConfig* config) {
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const HRESULT security =
      ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) return -1;

  ComScope com;
  module_instance = instance;
  InstallSeTranslator();
  // The dialog template holds a progress bar: its window class must be
  // registered before the dialog is created.
  INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&classes);

  const std::vector<std::wstring> arguments = CommandLine::Arguments(command_line);
  // Without options, the program as it has always been, exit code and all.
  const bool with_options = !arguments.empty() && config != nullptr;
  int code = 0;
  try {
    if (with_options) {
      code = RunWithOptions(instance, CommandLine::Parse(arguments), *config);
    } else {
      RunDialog(instance);
    }
  } catch (const std::exception& e) {
    Error::LogMessage(
        std::string("An unhandled exception occured. Application will be closed") + e.what(),
        "dlgapplication", 76);
    if (with_options) code = kExitFatal;
  }
  return code;
}
