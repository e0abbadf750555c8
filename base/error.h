#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Reporting and formatting of errors. Every operation is class-level and
// runs under the process-wide error-list lock; the records land in the
// in-memory log (errorlog.cpp).
//
// Error numbers are passed as unsigned 32-bit values (as GetLastError gives
// them) and stored in the record as signed 32-bit integers.
class Error {
 public:
  virtual ~Error() = default;

  // The symbolic name of a WinINet or DL_MANAGER_* number; "" if none.
  static std::string GetErrorName(uint32_t number);

  // The error text without recording anything and without time stamp; the
  // system text is consulted, the name table never.
  static std::wstring FormatError(const std::wstring& message, uint32_t number,
                                  const std::string& file, int32_t line);

  // Record, compose the text and write it to the debugger output.
  static void LogError(const std::string& message, uint32_t number, const std::string& file,
                       int32_t line);
  static void LogError(const std::wstring& message, uint32_t number, const std::string& file,
                       int32_t line);
  // Record only.
  static void RecordError(const std::string& message, uint32_t number, const std::string& file,
                          int32_t line);
  static void RecordError(const std::wstring& message, uint32_t number, const std::string& file,
                          int32_t line);
  // Informational steps: error number 0.
  static void LogMessage(const std::string& message, const std::string& file, int32_t line);
  static void LogMessage(const std::wstring& message, const std::string& file, int32_t line);

  static bool HasErrors();
  static nlohmann::json GetErrorListJson();
  static void ClearErrors();
  // Writes the readable rendering of the log; failures are ignored. The wide
  // form reaches folders whose names the ANSI code page cannot spell.
  static void WriteLogFile(const std::string& path);
  static void WriteLogFile(const std::wstring& path);
};
