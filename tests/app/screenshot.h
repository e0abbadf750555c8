#pragma once

#include <windows.h>

// Saves what the screen shows of the window as a 24-bit BMP file, for a
// person to look at after the run.
bool SaveScreenshot(HWND window, const char* file);
