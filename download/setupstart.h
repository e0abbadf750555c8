#pragma once

#include <functional>
#include <string>

#include "download/filesystemwatcher.h"
#include "download/releaselayout.h"
#include "download/shell.h"

// The end of a verified run: removes the download folder and hands the
// setup to the shell; when the shell refuses it, the user is told how to
// start it by hand and the program folder is opened.
class SetupStart {
 public:
  // Shows a text the user must read; returns when it has been dismissed.
  using ShowError = std::function<void(const std::wstring&)>;
  enum class Outcome { kMissing, kStarted, kRefused };

  SetupStart(const ReleaseLayout& layout, FileSystemWatcher& watcher)
      : layout(layout), watcher(watcher) {}

  // An empty path is a release without a setup: told, nothing removed.
  Outcome Launch(IShell& shell, const std::wstring& setup_path, const ShowError& show_error);

 private:
  const ReleaseLayout& layout;
  FileSystemWatcher& watcher;
};
