#pragma once

#include <functional>
#include <utility>

#include "base/orvthread.h"

// A thread that runs one piece of work to its end, for work that must not
// hold the thread that asks for it (the window's). The work is not asked to
// stop: destroying the object waits for it. Starting it again while the
// work runs does nothing; once it has ended, runs it again.
class TaskThread : public Orv_Thread {
 public:
  explicit TaskThread(std::function<void()> task) : task_(std::move(task)) {}
  ~TaskThread() override { Stop(INFINITE); }

 protected:
  void Run() override { task_(); }

 private:
  std::function<void()> task_;
};
