#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Text helpers shared by every layer. Paths, addresses and user-visible text
// are wide (UTF-16); log records and protocol text are narrow, in the
// system's ANSI code page.
class StringUtils {
 public:
  virtual ~StringUtils() = default;

  static std::wstring ToWide(const std::string& text);
  static std::string ToNarrow(const std::wstring& text);

  // Every pass restarts at the beginning, so runs collapse completely:
  // "a///b" with "//" -> "/" gives "a/b".
  static std::wstring& ReplaceAll(std::wstring& text, const std::wstring& search,
                                  const std::wstring& replacement);
  static std::wstring& ReplaceAllNoCase(std::wstring& text, const std::wstring& search,
                                        const std::wstring& replacement);
  // Folds only A-Z; returns std::wstring::npos when absent.
  static size_t FindNoCase(const std::wstring& text, const std::wstring& search);

  // Appends the pieces between separators to `pieces`; returns the number of
  // separators. A text without the separator yields no piece at all.
  static uint32_t Split(const std::wstring& text, const std::wstring& separator,
                        std::vector<std::wstring>& pieces, bool keep_empty);
  static std::wstring Join(const std::vector<std::wstring>& items, const std::wstring& separator);

  static std::wstring GetFileName(const std::wstring& path);

  // Throws std::out_of_range when the port does not fit a 32-bit integer.
  static void SplitUrl(const std::wstring& address, std::wstring& host, std::wstring& path,
                       int32_t& port, bool& secure);

  static std::wstring UrlEncode(const std::wstring& text);
};
