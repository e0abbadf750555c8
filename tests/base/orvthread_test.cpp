#include "base/orvthread.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace {

ULONGLONG Now() { return GetTickCount64(); }

// Polls the stop request like every real Run loop.
class PollingThread : public Orv_Thread {
 public:
  ~PollingThread() override { Stop(INFINITE); }
  std::atomic<int> runs{0};
  std::atomic<bool> started{false};

 protected:
  void Run() override {
    runs++;
    started = true;
    while (IsRunning()) Sleep(5);
  }
};

// Ends by itself right away.
class QuickThread : public Orv_Thread {
 public:
  ~QuickThread() override { Stop(INFINITE); }
  std::atomic<int> runs{0};

 protected:
  void Run() override { runs++; }
};

// Never looks at the stop request.
class StubbornThread : public Orv_Thread {
 public:
  ~StubbornThread() override { Stop(500); }
  std::atomic<bool> started{false};

 protected:
  void Run() override {
    started = true;
    for (;;) Sleep(50);
  }
};

void WaitUntil(const std::atomic<bool>& flag) {
  const ULONGLONG deadline = Now() + 10000;
  while (!flag && Now() < deadline) Sleep(1);
  ASSERT_TRUE(flag);
}

// Wine answers GetProcessHandleCount with 0, so count the open handles by
// asking the handle table about every value in turn.
DWORD HandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  DWORD flags = 0;
  for (uintptr_t value = 4; value < 0x40000; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

}  // namespace

TEST(OrvThread, NewObjectIsIdleAndStopDoesNothing) {
  PollingThread thread;
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(0u, thread.ThreadId());
  thread.Stop(INFINITE);
  thread.Stop(0);
  thread.Wait();
  EXPECT_EQ(0, thread.runs);
}

TEST(OrvThread, StopInfiniteReturnsOnceRunHasEnded) {
  PollingThread thread;
  ASSERT_NE(nullptr, thread.Start());
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_NE(0u, thread.ThreadId());
  WaitUntil(thread.started);
  const ULONGLONG start = Now();
  thread.Stop(INFINITE);
  EXPECT_LT(Now() - start, 1000u);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(0u, thread.ThreadId());
  EXPECT_EQ(1, thread.runs);
}

TEST(OrvThread, StopWithTimeoutOnCooperativeThread) {
  PollingThread thread;
  thread.Start();
  WaitUntil(thread.started);
  thread.Stop(500);
  EXPECT_FALSE(thread.IsRunning());
}

TEST(OrvThread, StopTerminatesAThreadThatIgnoresTheRequest) {
  StubbornThread thread;
  thread.Start();
  WaitUntil(thread.started);
  const ULONGLONG start = Now();
  thread.Stop(500);
  const ULONGLONG elapsed = Now() - start;
  EXPECT_GE(elapsed, 450u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(0u, thread.ThreadId());
  thread.Stop(500);  // idle again: nothing to do
}

TEST(OrvThread, StartThenWaitReturnsAlsoForVeryShortRuns) {
  QuickThread thread;
  for (int i = 0; i < 200; ++i) {
    ASSERT_NE(nullptr, thread.Start());
    thread.Wait();
    ASSERT_FALSE(thread.IsRunning());
    ASSERT_EQ(0u, thread.ThreadId());
  }
  EXPECT_EQ(200, thread.runs);
}

TEST(OrvThread, RestartAfterTheThreadEnded) {
  PollingThread thread;
  thread.Start();
  WaitUntil(thread.started);
  thread.Stop(INFINITE);
  thread.started = false;
  ASSERT_NE(nullptr, thread.Start());
  WaitUntil(thread.started);
  EXPECT_TRUE(thread.IsRunning());
  thread.Stop(INFINITE);
  EXPECT_EQ(2, thread.runs);
}

TEST(OrvThread, StartWhileRunningStartsNoSecondThread) {
  PollingThread thread;
  HANDLE first = thread.Start();
  WaitUntil(thread.started);
  EXPECT_EQ(first, thread.Start());
  thread.Stop(INFINITE);
  EXPECT_EQ(1, thread.runs);
}

TEST(OrvThread, DestroyingAnObjectWhoseThreadEndedDoesNotWait) {
  auto thread = std::make_unique<QuickThread>();
  thread->Start();
  thread->Wait();
  const ULONGLONG start = Now();
  thread.reset();
  EXPECT_LT(Now() - start, 200u);
}

TEST(OrvThread, DestroyingARunningObjectStopsIt) {
  auto thread = std::make_unique<PollingThread>();
  thread->Start();
  WaitUntil(thread->started);
  const ULONGLONG start = Now();
  thread.reset();
  EXPECT_LT(Now() - start, 1000u);
}

TEST(OrvThread, RunMayStopItsOwnObject) {
  class SelfStopping : public Orv_Thread {
   public:
    ~SelfStopping() override { Stop(INFINITE); }

   protected:
    void Run() override { Stop(INFINITE); }
  } thread;
  thread.Start();
  thread.Wait();
  EXPECT_FALSE(thread.IsRunning());
}

// Thousands of threads, some stopped, some ending by themselves, some
// restarted: the process must not keep a handle for any of them.
TEST(OrvThreadIntegration, ThreadHandlesDoNotLeak) {
  {
    QuickThread warm_up;
    warm_up.Start();
    warm_up.Wait();
  }
  const DWORD before = HandleCount();
  ASSERT_NE(0u, before) << "GetProcessHandleCount is not available";

  for (int round = 0; round < 500; ++round) {
    PollingThread stopped;
    stopped.Start();
    stopped.Stop(INFINITE);

    QuickThread ended;
    ended.Start();
    ended.Wait();
    ended.Start();  // restart after it ended by itself
    ended.Wait();

    QuickThread dropped;  // ends by itself, destroyed without Wait
    dropped.Start();

    std::vector<std::unique_ptr<QuickThread>> batch(3);
    for (auto& t : batch) {
      t = std::make_unique<QuickThread>();
      t->Start();
    }
  }
  const DWORD after = HandleCount();
  EXPECT_LE(after, before + 2) << "before " << before << ", after " << after;
}
