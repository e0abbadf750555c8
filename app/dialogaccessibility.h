#pragma once

#include <windows.h>

// What screen readers hear of the dialog: each control's accessible object
// (app/accessibleobject.h) with its name, role, state and value, and the
// events that make a reader speak.
namespace DialogAccessibility {

// Serves every control of the dialog.
void Serve(HWND dialog);
// The pause button is pressed (the download paused) or not.
void SetPaused(HWND dialog, bool paused);
// The message line now tells of a failure: read out at once, as an alert.
void AnnounceMessage(HWND dialog);

}  // namespace DialogAccessibility
