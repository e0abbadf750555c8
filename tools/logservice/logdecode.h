#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/logservice/logrecord.h"

struct DecodeLimits {
  // The records lie at depth 1 and their members at 2.
  size_t max_depth = 8;
  std::chrono::milliseconds max_time{1000};
};

// The inflated body of an upload: UTF-16LE text (a byte-order mark is
// allowed) holding a JSON array of log records with their six members.
// Anything else, or JSON past `limits`, is refused with a reason in `why`.
bool DecodeLog(const std::string& utf16, const DecodeLimits& limits,
               std::vector<LogRecord>& records, std::string& why);

// Strict UTF-16LE to UTF-8: an odd length or an unpaired surrogate fails.
bool Utf16LeToUtf8(const std::string& bytes, std::string& out);
