#pragma once

#include <windows.h>
#include <wininet.h>

#include "base/scopedhandle.h"

// WinINet handles of the test side (internet, connection and request handles
// all close with InternetCloseHandle).
struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = ScopedHandle<InternetHandleTraits>;
