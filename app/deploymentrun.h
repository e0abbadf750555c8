#pragma once

#include <windows.h>

#include "app/commandline.h"
#include "app/releaseconfig.h"

// A start with options: the usage box for a bad command line, the quiet
// run, or the dialog (passive or not) set up as the options say; the log
// file the command line names is written at the end, whatever happened.
// Returns the process exit code (app/exitcodes.h).
int RunWithOptions(HINSTANCE instance, const CommandOptions& options, const ReleaseConfig& config);

// The layout the program's own folder holds, if any: a program started
// from a layout installs from it, with or without options.
std::wstring LayoutBesideProgram();
