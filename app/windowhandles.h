#pragma once

#include <windows.h>

#include "base/scopedhandle.h"

// Owners for the user-interface resources of the dialog, in the manner of
// base/scopedhandle.h.

// Fonts, brushes and bitmaps that we create ourselves. Images loaded with
// LR_SHARED belong to the system and are never put in one of these.
struct GdiObjectTraits {
  using Type = HGDIOBJ;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::DeleteObject(h); }
};
using UniqueGdiObject = ScopedHandle<GdiObjectTraits>;

// A window whose procedure finds its object through GWLP_USERDATA: the link
// is cut before the window goes, so that the messages of its destruction
// never reach an object that is itself being destroyed.
struct WindowTraits {
  using Type = HWND;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) {
    ::SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    ::DestroyWindow(h);
  }
};
using UniqueWindow = ScopedHandle<WindowTraits>;
