#include "base/errorlog.h"

#include <windows.h>

#include "base/blockio.h"
#include "base/debugoutput.h"
#include "base/error.h"
#include "base/errortext.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"

namespace {

// The lock is constructed before the list and so outlives it at exit.
struct LogState {
  CriticalSection lock;
  std::vector<nlohmann::json> records;
};

LogState& State() {
  static LogState state;
  return state;
}

// Built during static initialisation, before any thread of ours exists.
[[maybe_unused]] const LogState& initialised_early = State();

nlohmann::json MakeRecord(const std::string& message, const std::string& detailed,
                          uint32_t number, const std::string& file, int32_t line) {
  return nlohmann::json{{"message", message},
                        {"detailed_message", detailed},
                        {"error_number", static_cast<int32_t>(number)},
                        {"file", file},
                        {"line", line}};
}

// "detailed_message": the table name in the name range, else the system's
// text for a non-zero number.
std::string Detail(uint32_t number) {
  if (errortext::InNameRange(number)) return Error::GetErrorName(number);
  return number != 0 ? errortext::SystemText(number) : std::string();
}

// " Error code: 0x..." followed by the name or the system text.
std::string NumberPart(uint32_t number, const std::string& detail) {
  std::string text = " Error code: 0x" + errortext::Hex(number);
  if (errortext::InNameRange(number)) {
    text += " " + detail;
  } else if (!detail.empty()) {
    text += " Windows error message: " + detail;
  }
  return text;
}

std::wstring NumberPartW(uint32_t number, const std::wstring& detail) {
  std::wstring text = L" Error code: 0x" + StringUtils::ToWide(errortext::Hex(number));
  if (errortext::InNameRange(number)) {
    text += L" " + detail;
  } else if (!detail.empty()) {
    text += L" Windows error message: " + detail;
  }
  return text;
}

}  // namespace

CriticalSection& ErrorLog::Lock() { return State().lock; }

void ErrorLog::Append(nlohmann::json record) {
  ScopedLock lock(Lock());
  auto& records = State().records;
  record["log_index"] = static_cast<int32_t>(records.size());
  records.push_back(std::move(record));
}

const std::vector<nlohmann::json>& ErrorLog::Records() { return State().records; }

void ErrorLog::Clear() {
  ScopedLock lock(Lock());
  State().records.clear();
}

void Error::LogError(const std::string& message, uint32_t number, const std::string& file,
                     int32_t line) {
  ScopedLock lock(ErrorLog::Lock());
  const std::string detail = Detail(number);
  std::string text = message + NumberPart(number, detail) + errortext::Location(file, line);
  ErrorLog::Append(MakeRecord(message, detail, number, file, line));
  text += errortext::TimeStamp();
  DebugOutput::Write(text);
}

void Error::LogError(const std::wstring& message, uint32_t number, const std::string& file,
                     int32_t line) {
  ScopedLock lock(ErrorLog::Lock());
  std::wstring detail;
  if (errortext::InNameRange(number)) {
    detail = StringUtils::ToWide(GetErrorName(number));
  } else if (number != 0) {
    detail = errortext::SystemTextW(number, true);
  }
  const std::wstring text = message + NumberPartW(number, detail) +
                            StringUtils::ToWide(errortext::Location(file, line));
  ErrorLog::Append(MakeRecord(StringUtils::ToNarrow(message), StringUtils::ToNarrow(detail),
                              number, file, line));
  DebugOutput::Write(text);
}

void Error::RecordError(const std::string& message, uint32_t number, const std::string& file,
                        int32_t line) {
  ScopedLock lock(ErrorLog::Lock());
  ErrorLog::Append(MakeRecord(message, Detail(number), number, file, line));
}

void Error::RecordError(const std::wstring& message, uint32_t number, const std::string& file,
                        int32_t line) {
  RecordError(StringUtils::ToNarrow(message), number, file, line);
}

void Error::LogMessage(const std::string& message, const std::string& file, int32_t line) {
  ScopedLock lock(ErrorLog::Lock());
  ErrorLog::Append(MakeRecord(message, "", 0, file, line));
  DebugOutput::Write(message + errortext::Location(file, line) + errortext::TimeStamp());
}

void Error::LogMessage(const std::wstring& message, const std::string& file, int32_t line) {
  ScopedLock lock(ErrorLog::Lock());
  ErrorLog::Append(MakeRecord(StringUtils::ToNarrow(message), "", 0, file, line));
  DebugOutput::Write(message + StringUtils::ToWide(errortext::Location(file, line)) + L"\r\n");
}

bool Error::HasErrors() {
  ScopedLock lock(ErrorLog::Lock());
  for (const auto& record : ErrorLog::Records()) {
    if (record["error_number"].get<int32_t>() != 0) return true;
  }
  return false;
}

nlohmann::json Error::GetErrorListJson() {
  ScopedLock lock(ErrorLog::Lock());
  nlohmann::json list = nlohmann::json::array();
  for (const auto& record : ErrorLog::Records()) list.push_back(record);
  return list;
}

void Error::ClearErrors() { ErrorLog::Clear(); }

namespace {

// The readable rendering of the log; the caller holds the lock.
std::string RenderLogFile() {
  std::string text;
  bool first = true;
  for (const auto& record : ErrorLog::Records()) {
    if (!first) text += "\t\n";
    first = false;
    text += "Message: " + record["message"].get<std::string>();
    text += " Detailed Message: " + record["detailed_message"].get<std::string>();
    text += " Error Number: " + std::to_string(record["error_number"].get<int32_t>());
    text += " File: " + record["file"].get<std::string>();
    text += " Line: " + std::to_string(record["line"].get<int32_t>());
  }
  return text;
}

void WriteWhole(HANDLE created, const std::string& text) {
  UniqueHandle file(created);
  if (!file) return;
  DWORD written = 0;
  // A failed write leaves a partial file; there is nobody to tell.
  WriteBlock(file.Get(), reinterpret_cast<const uint8_t*>(text.data()),
             static_cast<DWORD>(text.size()), written);
}

}  // namespace

void Error::WriteLogFile(const std::string& path) {
  ScopedLock lock(ErrorLog::Lock());
  WriteWhole(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr),
             RenderLogFile());
}

void Error::WriteLogFile(const std::wstring& path) {
  ScopedLock lock(ErrorLog::Lock());
  WriteWhole(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr),
             RenderLogFile());
}
