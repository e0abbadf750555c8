#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// One gzip member inflated as a stream, so that a small body that expands
// without end (a "bomb") is stopped at the cap instead of filling memory.
enum class GunzipResult { kOk, kTooLarge, kTooSlow, kTruncated, kCorrupt };

struct GunzipLimits {
  size_t max_output;
  std::chrono::milliseconds max_time;
};

// `out` holds the inflated bytes on kOk and is cleared otherwise. Bytes after
// the member are corrupt: the program sends exactly one.
GunzipResult Gunzip(std::string_view compressed, const GunzipLimits& limits, std::string& out);

const char* GunzipResultText(GunzipResult result);
