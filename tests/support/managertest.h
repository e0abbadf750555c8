#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/criticalsection.h"
#include "download/idmlistener.h"
#include "download/shell.h"

// Records the shell calls instead of making them; `result` is what each
// returns (above 32: success).
class RecordingShell : public IShell {
 public:
  intptr_t OpenFile(const std::wstring& file, const std::wstring& folder) override {
    return Add(L"open " + file + L" in " + folder);
  }
  intptr_t OpenUrl(const std::wstring& url) override { return Add(L"url " + url); }
  intptr_t Explore(const std::wstring& folder) override { return Add(L"explore " + folder); }
  std::vector<std::wstring> Calls() {
    ScopedLock lock(lock_);
    return calls;
  }

  intptr_t result = 42;

 private:
  intptr_t Add(const std::wstring& call) {
    ScopedLock lock(lock_);
    calls.push_back(call);
    return result;
  }
  CriticalSection lock_;
  std::vector<std::wstring> calls;
};

// Stands in for the dialog: records every event.
// The pages the window would open go to `pages`, in line with the shell
// calls the manager makes itself.
class RecordingListener : public IDMListener {
 public:
  explicit RecordingListener(RecordingShell& pages) : pages_(pages) {}
  void DownloadFinished(DownloadManager*) override { finished++; }
  void DownloadFailed(DownloadManager*) override { failed++; }
  void ShowError(const std::wstring& text) override {
    ScopedLock lock(lock_);
    errors.push_back(text);
  }
  void OpenPage(const std::wstring& url) override { pages_.OpenUrl(url); }
  std::vector<std::wstring> Errors() {
    ScopedLock lock(lock_);
    return errors;
  }

  std::atomic<int> finished{0};
  std::atomic<int> failed{0};

 private:
  RecordingShell& pages_;
  CriticalSection lock_;
  std::vector<std::wstring> errors;
};

// Log records whose message contains `text`.
int CountLogRecords(const std::string& text);
// Log records with this error number.
int CountLogNumber(int32_t number);
// The give-up: one DL_MANAGER_MAX_ATTEMPTS_EXCEEDED record, the support
// message, the support-centre page opened, and no DownloadFinished.
void ExpectGaveUp(RecordingListener& listener, RecordingShell& shell,
                  const std::wstring& support_url);
// Runs tests/support/testhelper.exe (beside the test program) and waits.
bool RunHelper(const std::wstring& arguments);
std::wstring HelperPath();
