#include "app/windowevents.h"

#include <utility>

void WindowEvents::Post(std::function<void()> event) {
  {
    ScopedLock lock(lock_);
    queue_.push_back(std::move(event));
  }
  Notify();
}

void WindowEvents::PostLatest(std::function<void()> event) {
  {
    ScopedLock lock(lock_);
    const bool pending = static_cast<bool>(latest_);
    latest_ = std::move(event);
    // Its message is on its way already.
    if (pending) return;
  }
  Notify();
}

void WindowEvents::Notify() {
  // When the post fails (a full message queue), the event waits for the
  // next message; an asker still has its stop.
  ::PostMessageW(window_.load(std::memory_order_relaxed), kMessage, 0, 0);
}

void WindowEvents::RunPosted() {
  std::function<void()> latest;
  {
    ScopedLock lock(lock_);
    latest.swap(latest_);
  }
  if (latest) latest();
  if (running_) return;
  running_ = true;
  for (;;) {
    std::function<void()> next;
    {
      ScopedLock lock(lock_);
      if (queue_.empty()) break;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    next();
  }
  running_ = false;
}
