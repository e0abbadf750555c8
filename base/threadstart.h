#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "base/scopedhandle.h"

// The one way a thread of ours starts: it is named `name` (for debuggers and
// crash dumps), faults in our own code become exceptions on it
// (InstallSeTranslator), and it runs `body`, which catches what it must
// through RunGuarded. Suspended when asked, so that the caller can store
// the handle and id before the body can run. A null handle when no thread
// could be made.
struct StartedThread {
  UniqueHandle handle;
  DWORD id = 0;
};
StartedThread StartThread(std::wstring name, std::function<void()> body, bool suspended = false);

// The one guard of a thread's work: runs `work`; an exception that leaves it
// ends `work` only and goes to `failed`, with its text, or null for one of
// unknown type. Nothing may leave a thread: that would end the process.
// True when `work` returned normally.
bool RunGuarded(const std::function<void()>& work,
                const std::function<void(const char* what)>& failed);
