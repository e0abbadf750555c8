#pragma once

#include <cstdint>
#include <string>

// The pieces that every error text is composed of. Internal to the error
// reporting; callers use Error.
namespace errortext {

// Numbers that are looked up in the name table rather than the system's
// message tables: 12000-12174 and the DL_MANAGER_* range.
bool InNameRange(uint32_t number);

// Lower-case hexadecimal without leading zeros or prefix: 12029 -> "2efd".
std::string Hex(uint32_t number);

// The system's message text, line break included; "" when there is none.
// The wide lookup may also consult wininet.dll's own message table.
std::string SystemText(uint32_t number);
std::wstring SystemTextW(uint32_t number, bool try_wininet);

// " File: x" and " Line: n", each only when given.
std::string Location(const std::string& file, int32_t line);

// " At: " and the local time in asctime's layout (ending in a newline).
std::string TimeStamp();

}  // namespace errortext
