#pragma once

#include <windows.h>
#include <wininet.h>

#include "base/scopedhandle.h"

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::InternetCloseHandle(h); }
};
// One WinINet handle: internet (session), connection or request.
using InternetHandle = ScopedHandle<InternetHandleTraits>;
