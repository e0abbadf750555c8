#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>

#include "base/criticalsection.h"

// The one way from a background thread to the window: a thread posts an
// event and goes on, and the window's thread alone runs it, so no other
// thread touches a window. Events run in the order they were posted; one
// that shows a box holds the later ones until the user has dismissed it.
// A thread that needs an answer posts a question and waits for the reply
// together with its stop.
class WindowEvents {
 public:
  static constexpr UINT kMessage = WM_APP + 1;

  // The window whose thread runs the events; before any event.
  void SetWindow(HWND window) { window_.store(window, std::memory_order_relaxed); }
  HWND Window() const { return window_.load(std::memory_order_relaxed); }

  // Any thread: queues `event` behind those posted before it.
  void Post(std::function<void()> event);
  // Any thread: replaces the latest state still to be shown (the progress
  // read-out). It runs even while an event shows a box, and a slow window
  // sees only the newest one.
  void PostLatest(std::function<void()> event);

  // The window's thread, for kMessage.
  void RunPosted();

 private:
  void Notify();

  std::atomic<HWND> window_{nullptr};
  CriticalSection lock_;
  std::deque<std::function<void()>> queue_;
  std::function<void()> latest_;
  // The window's thread only: an event is running, and a message handled
  // inside its box must leave the queue to it.
  bool running_ = false;
};
