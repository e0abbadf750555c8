#pragma once

#include <string>

// Forms the local name of a host file name: `suffix` ("_" + product code) is
// put before the last 4 characters of a name that holds ".exe", otherwise
// before the last 7 ("Setup.exe" -> "Setup_P1.exe", "Setup-1a.bin" ->
// "Setup_P1-1a.bin"). False, with `local` untouched, when the name is too
// short for that or is no safe file name.
bool MakeLocalName(const std::wstring& host_name, const std::wstring& suffix,
                   std::wstring& local);

// True when `name` can only ever name a file directly inside a folder it is
// joined to: no separators, drive or stream colons, "." or "..", no reserved
// device names (CON, NUL, COM1, ...), no characters Windows forbids in file
// names and no trailing dot or blank (which Windows would silently strip).
bool IsSafeFileName(const std::wstring& name);
