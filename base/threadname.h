#pragma once

#include <string>

// Names the calling thread for debuggers and crash dumps
// (SetThreadDescription, where the system has it: Windows 10 1607 and
// later, and Wine).
void NameCurrentThread(const std::wstring& name);
