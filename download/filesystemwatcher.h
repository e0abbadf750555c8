#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/criticalsection.h"
#include "base/orvthread.h"
#include "base/scopedhandle.h"

// Watches one folder tree on its own thread and records every deletion and
// rename in it that the download manager did not announce beforehand.
class FileSystemWatcher : public Orv_Thread {
 public:
  FileSystemWatcher() = default;
  ~FileSystemWatcher() override;

  // Stores the folder and starts the thread; returns once changes are being
  // read (or the folder could not be opened), so that nothing done after
  // the call goes unseen.
  void Watch(const std::wstring& folder);
  // Announces that the file at `path` is about to be deleted by us.
  void ExpectChange(const std::wstring& path);
  // Takes the first announcement of exactly `name` off the list.
  bool TakeExpected(const std::wstring& name);

  // Walks one buffer of change records as the system delivers them and
  // records what was not announced. Used by the thread; open for tests.
  void ReportChanges(const void* records, size_t size);

 protected:
  void Run() override;
  std::wstring ThreadName() const override { return L"Veltra folder watcher"; }

 private:
  std::wstring watched_folder;
  std::vector<std::wstring> expected_names;
  CriticalSection expected_lock;
  // Set by the thread once its first read of changes is under way.
  UniqueHandle watching{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
