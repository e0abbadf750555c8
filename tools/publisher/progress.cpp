#include "tools/publisher/progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(250);
constexpr auto kLogInterval = std::chrono::seconds(5);

}  // namespace

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)),
      total_(total),
      terminal_(::isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

void Progress::Report(uint64_t done, const std::string& detail) {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < (terminal_ ? kTerminalInterval : kLogInterval)) return;
  last_ = now;
  Print(done, detail);
  if (!terminal_) std::fputc('\n', stderr);
}

void Progress::Finish(uint64_t done) {
  Print(done, "");
  std::fputc('\n', stderr);
}

void Progress::Print(uint64_t done, const std::string& detail) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double percent =
      total_ ? 100.0 * static_cast<double>(done) / static_cast<double>(total_) : 100.0;
  const int filled = static_cast<int>(percent / 5);
  std::fprintf(stderr, "%s%s [%-20.*s] %5.1f%% %.1f of %.1f MB, %.1f MB/s %s",
               terminal_ ? "\r" : "", label_.c_str(), filled, "####################", percent,
               done / 1e6, total_ / 1e6, seconds > 0 ? done / 1e6 / seconds : 0.0, detail.c_str());
  if (terminal_) std::fputs("\033[K", stderr);
  std::fflush(stderr);
}
