#pragma once

#include <cstdint>

// Turns processor faults (access violation, integer division by zero, ...)
// on the calling thread into a std::exception whose what() is
// "Win32 Exception occurred. Code: 0x<code> at address 0x<address>".
// Faults in this program's own code are translated at once; faults in
// system code (WinINet, the C run-time, Wine) are left to that code's own
// handlers and translated only when none of them takes the fault, which
// would otherwise end the process. Threads that did not install it are not
// affected: their faults end the process as usual. Code must be built with -fnon-call-exceptions for the
// exception to unwind out of the faulting function.
void InstallSeTranslator();

// The translator itself: formats the text and throws. Never returns.
[[noreturn]] void SeTranslator(uint32_t code, uint64_t address);
