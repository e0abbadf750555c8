#pragma once

#include <string>

// The names and places derived from the program's own file name: the
// release name (Veltra_R1_web.exe fetches Veltra_R1), the folder beside the
// program and the per-release download folder.
class DownloadNames {
 public:
  // Throws std::out_of_range ("invalid string position") when the file name
  // has no underscore, or nothing before it: such a program names no
  // release.
  static std::wstring ReleaseName(const std::wstring& program_path);
  // Keeps the system's backslashes; no trailing separator.
  static std::wstring ProgramFolder(const std::wstring& program_path);
  // Forward slashes only; no trailing separator.
  static std::wstring DownloadFolder(const std::wstring& local_app_data,
                                     const std::wstring& release_name);
  static std::wstring CrcInfoName(const std::wstring& release_name);
  static std::wstring WindowCaption(const std::wstring& release_name);

  // The running program's full path, however long.
  static std::wstring ProgramPath();
  // The user's local application-data folder, or the temporary folder if
  // the shell cannot tell it.
  static std::wstring LocalAppDataFolder();
};
