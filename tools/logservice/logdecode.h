#pragma once

#include <string>
#include <vector>

#include "tools/logservice/logrecord.h"

// The inflated body of an upload: UTF-16LE text (a byte-order mark is
// allowed) holding a JSON array of log records with their six members.
// Anything else is refused with a reason in `why`.
bool DecodeLog(const std::string& utf16, std::vector<LogRecord>& records, std::string& why);

// Strict UTF-16LE to UTF-8: an odd length or an unpaired surrogate fails.
bool Utf16LeToUtf8(const std::string& bytes, std::string& out);
