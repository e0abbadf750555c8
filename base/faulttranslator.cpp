#include "base/faulttranslator.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

// MinGW's _set_se_translator never reaches frames that GCC compiled, so the
// translation is done by a vectored exception handler instead. The handler
// cannot throw by itself (it runs inside the system's exception dispatch),
// so it rewrites the faulting thread's context to "call" FaultThrowEntry
// from the faulting instruction; the throw then unwinds through the
// faulting frame exactly as if that instruction had been a call.

extern "C" void FaultThrowEntry();
extern "C" [[noreturn]] void FaultThrow(uint32_t code, uint64_t address) {
  SeTranslator(code, address);
}

// Entered with rcx = code, rdx = address (the arguments of FaultThrow) and
// r11 = the fake return address. The fault may have hit a frameless leaf
// function whose stack is not 16-byte aligned; FaultThrowFrame realigns it
// behind a frame pointer, which its unwind data describes, so that the
// unwinder returns to the faulting frame with that frame's own stack
// pointer. (Without the realignment the throw itself faults inside the
// system's exception code, and the original code is lost.)
asm(R"(
  .text
  .globl FaultThrowEntry
FaultThrowEntry:
  pushq %r11
  .seh_proc FaultThrowFrame
FaultThrowFrame:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  call FaultThrow
  int3
  .seh_endproc
)");

namespace {

// A TLS slot rather than thread_local: MinGW's thread_local may allocate on
// first touch, and the handler runs on threads that never installed it,
// possibly while the faulting code holds the heap lock.
const DWORD installed_slot = ::TlsAlloc();

bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
      return true;
    default:
      // Stack overflow is left alone: there is no stack left to throw on.
      return false;
  }
}

// The address range of this program's own image. The handler runs before
// any handler of the code that faulted: a fault in system code (WinINet,
// Wine, a probe such as IsBadReadPtr) is that code's to handle, and a throw
// from there would unwind through frames that have no unwind data for it.
struct ImageRange {
  DWORD64 begin = 0;
  DWORD64 end = 0;
};

ImageRange OwnImage() {
  ImageRange range;
  const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  if (base == nullptr) return range;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  range.begin = reinterpret_cast<DWORD64>(base);
  range.end = range.begin + nt->OptionalHeader.SizeOfImage;
  return range;
}

const ImageRange own_image = OwnImage();

bool InOwnImage(DWORD64 address) {
  return address >= own_image.begin && address < own_image.end;
}

bool Translatable(const EXCEPTION_RECORD* record) {
  return installed_slot != TLS_OUT_OF_INDEXES && ::TlsGetValue(installed_slot) != nullptr &&
         IsProcessorFault(record->ExceptionCode) &&
         (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}

LONG ThrowFromFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  CONTEXT* context = pointers->ContextRecord;
  const DWORD64 fault_address = reinterpret_cast<DWORD64>(record->ExceptionAddress);
  context->Rcx = record->ExceptionCode;
  context->Rdx = fault_address;
  // One past the fault: the unwinder looks up "return address - 1", which
  // then lies on the faulting instruction inside its function's ranges.
  context->R11 = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&FaultThrowEntry);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// First chance, before any handler of the faulting code: our own faults.
LONG CALLBACK TranslateFault(EXCEPTION_POINTERS* pointers) {
  if (!Translatable(pointers->ExceptionRecord) ||
      !InOwnImage(reinterpret_cast<DWORD64>(pointers->ExceptionRecord->ExceptionAddress))) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return ThrowFromFault(pointers);
}

// Last chance: a fault in foreign code (the C run-time's strlen on a bad
// pointer of ours) that no handler of that code took would end the process;
// it is translated as well. Nothing would run the foreign handlers any more.
std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> earlier_filter{nullptr};

LONG WINAPI TranslateUnhandledFault(EXCEPTION_POINTERS* pointers) {
  if (Translatable(pointers->ExceptionRecord)) return ThrowFromFault(pointers);
  const LPTOP_LEVEL_EXCEPTION_FILTER earlier = earlier_filter.load();
  return earlier != nullptr ? earlier(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallSeTranslator() {
  static PVOID handler = [] {
    earlier_filter.store(::SetUnhandledExceptionFilter(TranslateUnhandledFault));
    return ::AddVectoredExceptionHandler(1, TranslateFault);
  }();
  (void)handler;
  if (installed_slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(installed_slot, reinterpret_cast<void*>(1));
}

void SeTranslator(uint32_t code, uint64_t address) {
  char text[1024];
  std::snprintf(text, sizeof text, "Win32 Exception occurred. Code: 0x%x at address 0x%llx", code,
                static_cast<unsigned long long>(address));
  throw std::runtime_error(text);
}
