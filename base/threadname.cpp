#include "base/threadname.h"

#include <windows.h>

namespace {

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFunction Lookup() {
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return nullptr;
  return reinterpret_cast<SetThreadDescriptionFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
}

}  // namespace

void NameCurrentThread(const std::wstring& name) {
  // Looked up once: older systems lack the function, and the name is only
  // an aid.
  static const SetThreadDescriptionFunction set_description = Lookup();
  if (set_description) set_description(::GetCurrentThread(), name.c_str());
}
