#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "base/criticalsection.h"

// The process-wide, in-memory list of error records and the re-entrant lock
// that guards it. Reached through Error's operations; a thread that holds
// another lock of ours may take this one, never the other way about.
class ErrorLog {
 public:
  static CriticalSection& Lock();
  // Sets "log_index" to the record's position and appends it. Takes the lock.
  static void Append(nlohmann::json record);
  // The caller holds Lock().
  static const std::vector<nlohmann::json>& Records();
  static void Clear();
};
