#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One record of the program's log, as its JSON object carries it.
struct LogRecord {
  int64_t index = 0;
  int32_t number = 0;
  std::string name;    // "detailed_message"
  std::string module;  // "file"
  int64_t line = 0;
  std::string message;
};

// One upload as it is stored.
struct StoredLog {
  int64_t received = 0;  // Unix seconds, UTC
  std::string release;
  std::string version;
  std::string outcome;
  std::vector<LogRecord> records;
  int64_t errors = 0;  // records with a non-zero number
};
