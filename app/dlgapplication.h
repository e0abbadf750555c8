#pragma once

#include <windows.h>

// The program's entry sequence: COM, the fault translator, the dialog and
// the message loop. Returns the process exit code: 0 after a normal end and
// after a logged fatal failure, -1 when COM security cannot be set up.
int DlgApplicationMain(HINSTANCE instance);

// The module instance handle the entry received; resources come from it.
HINSTANCE ModuleInstance();

// The message loop of the dialog's thread, with the dialog's keyboard
// handling, until the quit message.
void RunMessageLoop(HWND dialog);
