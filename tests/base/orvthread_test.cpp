#include "base/orvthread.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/errorcodes.h"

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

TEST(OrvThread, StopTerminatesAThreadThatIgnoresTheRequestAndSaysSo) {
  Error::ClearErrors();
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
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(1u, log.size());
  EXPECT_NE(std::string::npos,
            log[0]["message"].get<std::string>().find("did not end within 500 ms; terminating"));
  Error::ClearErrors();
}

namespace {

// Waits for its stop event only, then takes its time to end, as a Run that
// closes a file or a connection on its way out.
class SlowEndingThread : public Orv_Thread {
 public:
  ~SlowEndingThread() override { Stop(INFINITE); }
  std::atomic<bool> started{false};
  std::atomic<bool> ended{false};

 protected:
  void Run() override {
    started = true;
    WaitForStop(INFINITE);
    Sleep(300);
    ended = true;
  }
};

}  // namespace

TEST(OrvThread, StopIsSeenAtOnceAndEveryConcurrentStopWaitsForTheEnd) {
  SlowEndingThread thread;
  ASSERT_NE(nullptr, thread.Start());
  WaitUntil(thread.started);
  std::atomic<int> returned_before_end{0};
  std::atomic<int> returned{0};
  auto stop = [&] {
    thread.Stop(INFINITE);
    if (!thread.ended) ++returned_before_end;
    ++returned;
  };
  const ULONGLONG start = Now();
  std::thread first(stop), second(stop), third(stop);
  first.join();
  second.join();
  third.join();
  // The wait on the stop event ends at once; the 300 ms are the Run's own.
  EXPECT_LT(Now() - start, 2000u);
  EXPECT_EQ(3, returned);
  EXPECT_EQ(0, returned_before_end) << "a Stop returned while the thread was still running";
  EXPECT_FALSE(thread.IsRunning());
}

TEST(OrvThread, ExceptionsAndFaultsLeavingRunEndOnlyThatThread) {
  class Throwing : public Orv_Thread {
   public:
    ~Throwing() override { Stop(INFINITE); }
    int mode = 0;

   protected:
    void Run() override {
      if (mode == 0) throw std::runtime_error("bad state");
      if (mode == 1) throw 42;
      // A fault in a thread whose Run installs nothing itself.
      volatile int* volatile nowhere = nullptr;
      *nowhere = 1;
    }
  } thread;
  Error::ClearErrors();
  for (int mode = 0; mode < 3; ++mode) {
    thread.mode = mode;
    ASSERT_NE(nullptr, thread.Start());
    thread.Wait();
    EXPECT_FALSE(thread.IsRunning());
  }
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(3u, log.size());
  for (const auto& record : log) {
    EXPECT_EQ(DL_MANAGER_WIN32_EXCEPTION, record["error_number"]);
    EXPECT_EQ(0u, record["message"].get<std::string>().find(
                      "Orv_Thread: Obviously a major malfunction. Thread ended"));
  }
  EXPECT_NE(std::string::npos, log[0]["message"].get<std::string>().find("bad state"));
  EXPECT_NE(std::string::npos,
            log[2]["message"].get<std::string>().find("Code: 0xc0000005 at address"));
  Error::ClearErrors();
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
