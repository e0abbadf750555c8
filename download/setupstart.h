#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/stoptoken.h"
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

  // With a stop, the waits for files held by another program end at it.
  SetupStart(const ReleaseLayout& layout, FileSystemWatcher& watcher,
             std::optional<StopToken> stop = std::nullopt)
      : layout(layout), watcher(watcher), stop(stop) {}

  // An empty path is a release without a setup: told, nothing removed.
  Outcome Launch(IShell& shell, const std::wstring& setup_path, const ShowError& show_error);

 private:
  // The shell's start of the setup, with a hold on the file waited out.
  intptr_t OpenSetup(IShell& shell, const std::wstring& setup_path);

  const ReleaseLayout& layout;
  FileSystemWatcher& watcher;
  std::optional<StopToken> stop;
};
