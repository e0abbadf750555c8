#pragma once

#include <windows.h>

struct ReleaseConfig;

// The program's entry sequence: COM, the fault translator, the dialog and
// the message loop. Returns the process exit code: 0 after a normal end and
// after a logged fatal failure, -1 when COM security cannot be set up.
int DlgApplicationMain(HINSTANCE instance);
// The same with the process's command line and the build's release values:
// a start with options runs as they say (app/deploymentrun.h) and returns
// the exit codes of app/exitcodes.h; without options it is the above.
int DlgApplicationMain(HINSTANCE instance, const wchar_t* command_line,
                       const ReleaseConfig* config);

// The module instance handle the entry received; resources come from it.
HINSTANCE ModuleInstance();

// The message loop of the dialog's thread, with the dialog's keyboard
// handling, until the quit message.
void RunMessageLoop(HWND dialog);
