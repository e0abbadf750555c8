// Processor faults on threads that installed the translator arrive as
// ordinary exceptions; other threads are left alone.
#include "base/faulttranslator.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/orvthread.h"

namespace {

// Results go to a volatile sink so the compiler cannot drop the faulting
// work; the helpers are kept out of line because a frameless leaf is the
// hardest case for the unwinder.
volatile int sink;
__attribute__((noinline)) int ReadThrough(int* volatile pointer) { return *pointer; }
__attribute__((noinline)) int Divide(volatile int a, volatile int b) { return a / b; }

std::string CaughtText(void (*fault)()) {
  try {
    fault();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

void NullRead() { sink = ReadThrough(nullptr); }
void DivideByZero() { sink = Divide(7, 0); }
void InlineDivideByZero() {
  volatile int zero = 0;
  sink = 100 / zero;
}

constexpr char kAccessViolation[] = "Win32 Exception occurred. Code: 0xc0000005 at address 0x";
constexpr char kDivideByZero[] = "Win32 Exception occurred. Code: 0xc0000094 at address 0x";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(FaultTranslator, AccessViolationOnMainThread) {
  InstallSeTranslator();
  const std::string text = CaughtText(NullRead);
  EXPECT_TRUE(StartsWith(text, kAccessViolation)) << text;
  // The address is that of the faulting instruction, inside this program.
  const unsigned long long address = std::stoull(text.substr(sizeof kAccessViolation - 1), nullptr, 16);
  // Written whole: the program lies above 4 GiB, so the high digits show.
  EXPECT_GT(address, 0xFFFFFFFFull);
}

TEST(FaultTranslator, IntegerDivisionByZeroKeepsItsCode) {
  InstallSeTranslator();
  EXPECT_TRUE(StartsWith(CaughtText(DivideByZero), kDivideByZero)) << CaughtText(DivideByZero);
  EXPECT_TRUE(StartsWith(CaughtText(InlineDivideByZero), kDivideByZero));
}

TEST(FaultTranslator, RepeatedFaultsKeepWorking) {
  InstallSeTranslator();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(StartsWith(CaughtText(i % 2 ? NullRead : DivideByZero),
                           i % 2 ? kAccessViolation : kDivideByZero));
  }
}

TEST(FaultTranslator, FaultsThatSystemCodeHandlesItselfAreLeftToIt) {
  InstallSeTranslator();
  // IsBadReadPtr probes the memory and catches the access violation itself;
  // a translation would throw through the system's frames instead.
  std::string text = "no exception";
  BOOL bad_read = FALSE;
  BOOL bad_write = FALSE;
  try {
    bad_read = IsBadReadPtr(reinterpret_cast<const void*>(0x10), 16);
    bad_write = IsBadWritePtr(reinterpret_cast<void*>(0x10), 16);
  } catch (const std::exception& e) {
    text = e.what();
  }
  EXPECT_EQ("no exception", text);
  EXPECT_TRUE(bad_read);
  EXPECT_TRUE(bad_write);
  // Our own faults on the same thread still become exceptions.
  EXPECT_TRUE(StartsWith(CaughtText(NullRead), kAccessViolation));
}

namespace {

// The C run-time is a system library: its strlen faults outside our image,
// and nothing there handles the fault.
void ForeignFault() {
  size_t (*volatile length)(const char*) = &strlen;
  sink = static_cast<int>(length(reinterpret_cast<const char*>(0x10)));
}

class ForeignFaultThread : public Orv_Thread {
 public:
  ~ForeignFaultThread() override { Stop(INFINITE); }
  std::string caught;

 protected:
  void Run() override { caught = CaughtText(ForeignFault); }
};

}  // namespace

TEST(FaultTranslator, FaultInForeignCodeThatNothingHandlesIsStillTranslated) {
  InstallSeTranslator();
  EXPECT_TRUE(StartsWith(CaughtText(ForeignFault), kAccessViolation));
  ForeignFaultThread thread;
  thread.Start();
  thread.Wait();
  EXPECT_TRUE(StartsWith(thread.caught, kAccessViolation)) << thread.caught;
}

TEST(FaultTranslator, TextIsWhatSeTranslatorFormats) {
  try {
    SeTranslator(0xc0000005u, 0x123456789abcull);
    FAIL() << "SeTranslator returned";
  } catch (const std::exception& e) {
    // An address above 4 GiB keeps its high digits.
    EXPECT_STREQ("Win32 Exception occurred. Code: 0xc0000005 at address 0x123456789abc", e.what());
  }
}

namespace {

class FaultingThread : public Orv_Thread {
 public:
  ~FaultingThread() override { Stop(INFINITE); }
  std::string caught;

 protected:
  void Run() override {
    InstallSeTranslator();
    caught = CaughtText(DivideByZero) + "|" + CaughtText(NullRead);
  }
};

// A last-chance handler for the one thread below: if the fault reaches it
// untranslated, it ends that thread with a recognisable exit code.
std::atomic<DWORD> unguarded_thread{0};
constexpr DWORD kReachedUntranslated = 0xFA17;

void EndUnguardedThread() { ExitThread(kReachedUntranslated); }

LONG CALLBACK CatchUnguardedFault(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != unguarded_thread.load() ||
      pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp = (context->Rsp & ~DWORD64{15}) - 64 - 8;
  context->Rip = reinterpret_cast<DWORD64>(&EndUnguardedThread);
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI UnguardedThread(void* caught) {
  unguarded_thread.store(GetCurrentThreadId());
  try {
    NullRead();
  } catch (...) {
    *static_cast<bool*>(caught) = true;
  }
  return 0;
}

}  // namespace

TEST(FaultTranslator, WorksOnAnOrvThread) {
  FaultingThread thread;
  thread.Start();
  thread.Wait();
  EXPECT_TRUE(StartsWith(thread.caught, kDivideByZero)) << thread.caught;
  EXPECT_NE(std::string::npos, thread.caught.find(std::string("|") + kAccessViolation));
}

TEST(FaultTranslator, ThreadWithoutItIsNotAffected) {
  InstallSeTranslator();  // on this thread only
  PVOID last_chance = AddVectoredExceptionHandler(0, CatchUnguardedFault);
  bool caught = false;
  HANDLE thread = CreateThread(nullptr, 0, UnguardedThread, &caught, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  DWORD exit_code = 0;
  GetExitCodeThread(thread, &exit_code);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(last_chance);
  EXPECT_FALSE(caught) << "the fault was translated on a thread that did not install it";
  EXPECT_EQ(kReachedUntranslated, exit_code);
}
