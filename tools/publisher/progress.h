#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A progress line on stderr for long work: redrawn in place on a terminal,
// one line every few seconds otherwise (a log keeps them all). Used from
// one thread.
class Progress {
 public:
  Progress(std::string label, uint64_t total);

  // Prints when enough time has passed since the last line.
  void Report(uint64_t done, const std::string& detail = "");
  // The last line, always printed, then a line end.
  void Finish(uint64_t done);

 private:
  void Print(uint64_t done, const std::string& detail);

  std::string label_;
  uint64_t total_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};
