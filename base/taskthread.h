#pragma once

#include <functional>
#include <string>
#include <utility>

#include "base/orvthread.h"

// A thread that runs one piece of work to its end, for work that must not
// hold the thread that asks for it (the window's). The work is not asked to
// stop: destroying the object waits for it. Starting it again while the
// work runs does nothing; once it has ended, runs it again.
class TaskThread : public Orv_Thread {
 public:
  TaskThread(std::wstring name, std::function<void()> task)
      : name_(std::move(name)), task_(std::move(task)) {}
  ~TaskThread() override { Stop(INFINITE); }

 protected:
  void Run() override { task_(); }
  std::wstring ThreadName() const override { return name_; }

 private:
  const std::wstring name_;
  std::function<void()> task_;
};
