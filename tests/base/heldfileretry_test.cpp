#include "base/heldfileretry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "base/runstop.h"

namespace {

// A clock that moves `step` ms each time it is read.
Clock Stepping(uint64_t& now, uint64_t step) {
  return [&now, step] { return now += step; };
}

// An attempt that meets `error` the first `failures` times, then succeeds.
struct Attempt {
  DWORD error;
  int failures;
  int calls = 0;
  bool operator()() {
    if (calls++ < failures) {
      ::SetLastError(error);
      return false;
    }
    return true;
  }
};

int RecordsWith(const std::string& text) {
  int n = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    n += record["message"].get<std::string>().find(text) != std::string::npos ? 1 : 0;
  }
  return n;
}

class HeldFileRetryTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::ClearErrors(); }
  void TearDown() override { Error::ClearErrors(); }
  uint64_t now = 0;
};

}  // namespace

TEST_F(HeldFileRetryTest, AHoldThatEndsIsWaitedOutAndLoggedOnce) {
  Attempt attempt{ERROR_SHARING_VIOLATION, 3};
  EXPECT_TRUE(HeldFileRetry::Retry(L"opening", L"C:/p/a.bin", true, nullptr, std::ref(attempt),
                                   Stepping(now, 10)));
  EXPECT_EQ(4, attempt.calls);
  EXPECT_EQ(1, RecordsWith("opening C:/p/a.bin: held by another program; waited "));
}

TEST_F(HeldFileRetryTest, GivesUpWhenThePatienceRunsOutByTheClockHandedIn) {
  // Each look at the clock is 4 s later: the third look is past the 10 s.
  Attempt attempt{ERROR_LOCK_VIOLATION, 1000};
  EXPECT_FALSE(HeldFileRetry::Retry(L"renaming", L"C:/p/b.bin", true, nullptr, std::ref(attempt),
                                    Stepping(now, 4000)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), ::GetLastError());
  EXPECT_EQ(3, attempt.calls);
  EXPECT_EQ(1, RecordsWith("renaming C:/p/b.bin: held by another program; gave up after 16000 ms"));
}

TEST_F(HeldFileRetryTest, AccessDeniedIsAHoldOnlyOnOurOwnFile) {
  Attempt own{ERROR_ACCESS_DENIED, 1};
  EXPECT_TRUE(HeldFileRetry::Retry(L"deleting", L"C:/p/c", true, nullptr, std::ref(own),
                                   Stepping(now, 10)));
  Attempt foreign{ERROR_ACCESS_DENIED, 1};
  EXPECT_FALSE(HeldFileRetry::Retry(L"deleting", L"C:/p/c", false, nullptr, std::ref(foreign),
                                    Stepping(now, 10)));
  EXPECT_EQ(1, foreign.calls) << "another failure is not retried";
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
}

TEST_F(HeldFileRetryTest, TheStopEndsTheWaitAtOnce) {
  RunStop stop;
  stop.Request();
  const StopToken token = stop.Token();
  Attempt attempt{ERROR_SHARING_VIOLATION, 1000};
  EXPECT_FALSE(HeldFileRetry::Retry(L"opening", L"C:/p/d", true, &token, std::ref(attempt),
                                    Stepping(now, 1)));
  EXPECT_EQ(1, attempt.calls);
  EXPECT_EQ(1, RecordsWith("opening C:/p/d: held by another program; gave up after "));
}
