#include "tools/logservice/logdecode.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <limits>

#include "base/utf8.h"

namespace {

bool StringMember(const nlohmann::json& object, const char* key, std::string& out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool IntegerMember(const nlohmann::json& object, const char* key, int64_t& out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return false;
  out = it->get<int64_t>();
  return true;
}

}  // namespace

bool Utf16LeToUtf8(const std::string& bytes, std::string& out) {
  if (bytes.size() % 2 != 0) return false;
  out.clear();
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  const auto unit = [&bytes](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t code = unit(i);
    if (code >= 0xdc00 && code <= 0xdfff) return false;
    if (code >= 0xd800 && code <= 0xdbff) {
      if (i + 1 >= units) return false;
      const uint32_t low = unit(i + 1);
      if (low < 0xdc00 || low > 0xdfff) return false;
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
      ++i;
    }
    AppendUtf8(code, out);
  }
  return true;
}

bool DecodeLog(const std::string& utf16, const DecodeLimits& limits,
               std::vector<LogRecord>& records, std::string& why) {
  std::string text;
  if (!Utf16LeToUtf8(utf16, text)) {
    why = "not UTF-16LE text";
    return false;
  }
  if (text.rfind("\xef\xbb\xbf", 0) == 0) text.erase(0, 3);
  // A log is an array of flat records: two levels. A few kilobytes of gzip
  // can inflate to an array nested millions deep, which would cost a worker
  // much time and memory; the parse stops at the cap of depth or time.
  struct OverCap {
    const char* why;
  };
  const auto deadline = std::chrono::steady_clock::now() + limits.max_time;
  size_t events = 0;
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(
        text,
        [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
          if (depth > static_cast<int>(limits.max_depth)) throw OverCap{"JSON nested too deep"};
          if (++events % 4096 == 0 && std::chrono::steady_clock::now() > deadline) {
            throw OverCap{"JSON took longer than the time cap to read"};
          }
          return true;
        },
        false);
  } catch (const OverCap& cap) {
    why = cap.why;
    return false;
  }
  if (value.is_discarded()) {
    why = "not JSON";
    return false;
  }
  if (!value.is_array()) {
    why = "not a JSON array of log records";
    return false;
  }
  records.clear();
  records.reserve(value.size());
  for (const auto& item : value) {
    LogRecord record;
    int64_t number = 0;
    if (!item.is_object() || !StringMember(item, "message", record.message) ||
        !StringMember(item, "detailed_message", record.name) ||
        !StringMember(item, "file", record.module) ||
        !IntegerMember(item, "error_number", number) || !IntegerMember(item, "line", record.line) ||
        !IntegerMember(item, "log_index", record.index)) {
      why = "record " + std::to_string(records.size()) + " is not a log record";
      return false;
    }
    // A writer that keeps numbers unsigned sends the program's own negative
    // codes as 4294934529 and up; both mean the same 32-bit value.
    if (number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<uint32_t>::max()) {
      why = "record " + std::to_string(records.size()) + " has an error number out of range";
      return false;
    }
    record.number = static_cast<int32_t>(static_cast<uint32_t>(number));
    records.push_back(std::move(record));
  }
  return true;
}
