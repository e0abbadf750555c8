#pragma once

#include <string>
#include <vector>

#include "tools/logservice/logrecord.h"

// How the run that sent a log ended, read from its records. The program
// sends a log whenever its window closes without the setup started, so a
// log without a failure that ends the run was closed by the user.
inline constexpr const char* kOutcomes[] = {"gave_up", "save_failure", "withdrawn", "incomplete",
                                            "setup",   "closed",       "other"};

std::string ClassifyOutcome(const std::vector<LogRecord>& records);
