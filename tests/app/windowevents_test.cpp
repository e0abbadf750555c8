#include "app/windowevents.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

// The window's thread is this test's: RunPosted is called as the window
// would on kMessage, without a window (the messages go to the thread's own
// queue and are dropped).
TEST(WindowEvents, EventsRunInOrderAndTheLatestStateReplacesTheOneNotYetShown) {
  WindowEvents events;
  std::string ran;
  events.Post([&] { ran += "a"; });
  events.PostLatest([&] { ran += "1"; });
  events.Post([&] { ran += "b"; });
  events.PostLatest([&] { ran += "2"; });
  events.RunPosted();
  EXPECT_EQ("2ab", ran) << "the newest read-out first, then the events in order";
  events.RunPosted();
  EXPECT_EQ("2ab", ran) << "each runs once";
}

TEST(WindowEvents, AnEventThatShowsABoxHoldsTheLaterOnesButNotTheReadOut) {
  WindowEvents events;
  std::string ran;
  events.Post([&] {
    ran += "box(";
    // The box's own message loop handles kMessage meanwhile.
    events.Post([&] { ran += "later"; });
    events.PostLatest([&] { ran += "readout"; });
    events.RunPosted();
    ran += ")";
  });
  events.RunPosted();
  EXPECT_EQ("box(readout)later", ran);
}

TEST(WindowEvents, PostsFromManyThreadsAllArriveEachInItsThreadsOrder) {
  WindowEvents events;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) events.Post([&seen, t, i] { seen[t].push_back(i); });
    });
  }
  // Run while they post, as the window would.
  for (int k = 0; k < 50; ++k) events.RunPosted();
  for (std::thread& thread : threads) thread.join();
  events.RunPosted();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(static_cast<size_t>(kEach), seen[t].size());
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(i, seen[t][i]);
  }
}
