#pragma once

#include <string>

// A fresh folder under the Windows temp folder, removed with its contents
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& Path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Writes bytes to a file, replacing it; returns false on failure.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole file, or "" when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
