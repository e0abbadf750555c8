#include "net/blockedcallthread.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "base/runstop.h"
#include "base/scopedhandle.h"

namespace {

UniqueHandle NewEvent(bool manual) {
  return UniqueHandle(::CreateEventW(nullptr, manual, FALSE, nullptr));
}

}  // namespace

TEST(BlockedCallThread, CallsRunOnItsThreadAndAReleasedThreadServesTheNextOwner) {
  RunStop stop;
  std::shared_ptr<BlockedCallThread> first = BlockedCallThread::Acquire();
  ASSERT_NE(nullptr, first);
  DWORD ran_on = 0;
  EXPECT_EQ(BlockedCallThread::Outcome::kDone,
            first->Run([&ran_on] { ran_on = ::GetCurrentThreadId(); }, stop.Token()));
  EXPECT_NE(0u, ran_on);
  EXPECT_NE(::GetCurrentThreadId(), ran_on);

  BlockedCallThread* const kept = first.get();
  BlockedCallThread::Release(std::move(first));
  std::shared_ptr<BlockedCallThread> next = BlockedCallThread::Acquire();
  EXPECT_EQ(kept, next.get()) << "the idle thread is handed on";
  DWORD again = 0;
  next->Run([&again] { again = ::GetCurrentThreadId(); }, stop.Token());
  EXPECT_EQ(ran_on, again);
  // One waits already: a second released thread ends.
  std::shared_ptr<BlockedCallThread> other = BlockedCallThread::Acquire();
  EXPECT_NE(kept, other.get());
  BlockedCallThread::Release(std::move(next));
  BlockedCallThread::Release(std::move(other));
  EXPECT_EQ(kept, BlockedCallThread::Acquire().get());
}

TEST(BlockedCallThread, AStopLeavesABlockedCallBehindAtOnce) {
  RunStop stop;
  std::shared_ptr<BlockedCallThread> thread = BlockedCallThread::Acquire();
  ASSERT_NE(nullptr, thread);
  // The call owns what it touches: the caller has gone when it returns.
  auto release = std::make_shared<UniqueHandle>(NewEvent(true));
  auto returned = std::make_shared<UniqueHandle>(NewEvent(true));
  UniqueHandle started = NewEvent(true);
  const HANDLE started_event = started.Get();
  std::thread stopper([&] {
    ::WaitForSingleObject(started_event, INFINITE);
    stop.Request();
  });
  const ULONGLONG begun = ::GetTickCount64();
  EXPECT_EQ(BlockedCallThread::Outcome::kStopped, thread->Run(
                                                      [release, returned, started_event] {
                                                        ::SetEvent(started_event);
                                                        ::WaitForSingleObject(release->Get(),
                                                                              INFINITE);
                                                        ::SetEvent(returned->Get());
                                                      },
                                                      stop.Token()));
  EXPECT_LT(::GetTickCount64() - begun, 5000u);
  stopper.join();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(returned->Get(), 0));
  // The call finishes on its own later, and its thread is retired.
  ::SetEvent(release->Get());
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(returned->Get(), 10000));
}

TEST(BlockedCallThread, ProgressRunsOnTheCallersThreadWhileTheCallGoesOn) {
  RunStop stop;
  std::shared_ptr<BlockedCallThread> thread = BlockedCallThread::Acquire();
  ASSERT_NE(nullptr, thread);
  UniqueHandle progress = NewEvent(false);
  const HANDLE progress_event = progress.Get();
  auto acknowledged = std::make_shared<UniqueHandle>(NewEvent(false));
  const DWORD caller = ::GetCurrentThreadId();
  int seen = 0;
  EXPECT_EQ(BlockedCallThread::Outcome::kDone, thread->Run(
                                                   [progress_event, acknowledged] {
                                                     for (int i = 0; i < 3; ++i) {
                                                       ::SetEvent(progress_event);
                                                       ::WaitForSingleObject(acknowledged->Get(),
                                                                             10000);
                                                     }
                                                   },
                                                   stop.Token(), progress_event,
                                                   [&] {
                                                     EXPECT_EQ(caller, ::GetCurrentThreadId());
                                                     ++seen;
                                                     ::SetEvent(acknowledged->Get());
                                                   }));
  EXPECT_EQ(3, seen);
  BlockedCallThread::Release(std::move(thread));
}

TEST(BlockedCallThread, AnExceptionEndsTheCallOnlyAndTheThreadServesTheNext) {
  RunStop stop;
  std::shared_ptr<BlockedCallThread> thread = BlockedCallThread::Acquire();
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(BlockedCallThread::Outcome::kDone,
            thread->Run([] { throw std::bad_alloc(); }, stop.Token()));
  bool ran = false;
  EXPECT_EQ(BlockedCallThread::Outcome::kDone, thread->Run([&ran] { ran = true; }, stop.Token()));
  EXPECT_TRUE(ran);
  BlockedCallThread::Release(std::move(thread));
}
