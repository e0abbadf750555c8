#include "download/shell.h"

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>

#include "download/comapartment.h"

namespace {

// What CoGetApartmentType says about the calling thread: -1 when it has no
// COM at all (a thread of a process with a multi-threaded apartment counts
// as in it, implicitly).
int Apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  if (FAILED(::CoGetApartmentType(&type, &qualifier))) return -1;
  return type;
}

}  // namespace

// The shell calls run on the manager's and the workers' threads, which have
// no COM of their own; each call brings its own, and gives back only what
// it took.
TEST(ComApartment, GivesAThreadWithoutComAnApartmentForItsLifeOnly) {
  int before = 0, inside = 0, after = 0;
  std::thread plain([&] {
    before = Apartment();
    {
      ComApartment com;
      inside = Apartment();
    }
    after = Apartment();
  });
  plain.join();
  // The first single-threaded apartment of a process is its main one.
  EXPECT_TRUE(before != APTTYPE_STA && before != APTTYPE_MAINSTA) << before;
  EXPECT_TRUE(inside == APTTYPE_STA || inside == APTTYPE_MAINSTA) << inside;
  EXPECT_EQ(before, after);

  std::thread multi([&] {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      ComApartment com;
      inside = Apartment();
    }
    after = Apartment();
    ::CoUninitialize();
  });
  multi.join();
  EXPECT_EQ(APTTYPE_MTA, inside);
  EXPECT_EQ(APTTYPE_MTA, after);
}
