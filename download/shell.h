#pragma once

#include <cstdint>
#include <string>

// A shell result of this or below is the shell's failure code; above it,
// success.
constexpr intptr_t kShellErrorMax = 32;

// The shell actions of the manager: starting the setup, opening the
// support-centre page and opening an Explorer window. Tests put their own in
// place of the system's.
class IShell {
 public:
  virtual ~IShell() = default;
  // Each returns the shell's result (see kShellErrorMax).
  virtual intptr_t OpenFile(const std::wstring& file, const std::wstring& working_folder) = 0;
  virtual intptr_t OpenUrl(const std::wstring& url) = 0;
  virtual intptr_t Explore(const std::wstring& folder) = 0;
};

// ShellExecuteW, with SW_SHOW and no owner window, on any thread: the shell
// may hand the request to extensions that are COM objects, so each call
// runs inside a ComApartment (the manager's and the workers' threads have
// none of their own).
class SystemShell : public IShell {
 public:
  intptr_t OpenFile(const std::wstring& file, const std::wstring& working_folder) override;
  intptr_t OpenUrl(const std::wstring& url) override;
  intptr_t Explore(const std::wstring& folder) override;

  // The one instance a manager uses unless it is given another.
  static SystemShell& Instance();
};
