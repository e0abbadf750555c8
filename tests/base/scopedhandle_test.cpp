#include "base/scopedhandle.h"

#include <gtest/gtest.h>

#include <utility>

#include "base/criticalsection.h"

namespace {

struct CountingTraits {
  using Type = int;
  static int closed;
  static int last;
  static Type Empty() { return 0; }
  static bool IsValid(Type v) { return v != 0; }
  static void Close(Type v) {
    ++closed;
    last = v;
  }
};
int CountingTraits::closed = 0;
int CountingTraits::last = 0;
using Counted = ScopedHandle<CountingTraits>;

}  // namespace

TEST(ScopedHandle, ClosesExactlyOnceThroughMovesAndResets) {
  CountingTraits::closed = 0;
  {
    Counted a(7);
    Counted b(std::move(a));
    EXPECT_FALSE(a.IsValid());
    Counted c;
    c = std::move(b);
    c = std::move(c);
    EXPECT_EQ(7, c.Get());
    EXPECT_EQ(0, CountingTraits::closed);
    c.Reset(8);
    EXPECT_EQ(1, CountingTraits::closed);
    EXPECT_EQ(7, CountingTraits::last);
    Counted d(9);
    d = std::move(c);  // closes 9, takes 8
    EXPECT_EQ(2, CountingTraits::closed);
    EXPECT_EQ(9, CountingTraits::last);
    EXPECT_EQ(8, d.Release());
  }
  EXPECT_EQ(2, CountingTraits::closed);
  { Counted empty; }
  EXPECT_EQ(2, CountingTraits::closed);
}

TEST(ScopedHandle, KernelHandleTreatsBothEmptyValuesAsNone) {
  UniqueHandle none(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none);
  UniqueHandle null_handle;
  EXPECT_FALSE(null_handle);

  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  { UniqueHandle owner(raw); }
  EXPECT_FALSE(SetEvent(raw)) << "the event should have been closed";
}

TEST(ScopedHandle, FindHandleClosesTheSearch) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(FindFirstFileW(L"C:\\windows\\*", &data));
  ASSERT_TRUE(find);
  HANDLE raw = find.Get();
  find.Reset();
  EXPECT_FALSE(FindNextFileW(raw, &data));
}

TEST(CriticalSection, IsReentrantThroughScopedLocks) {
  CriticalSection lock;
  ScopedLock outer(lock);
  { ScopedLock inner(lock); }
  SUCCEED();
}
