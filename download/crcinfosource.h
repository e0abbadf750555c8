#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "download/releaselayout.h"
#include "download/releasemanifest.h"

// The release's CRC info as the run may use it: fetched twice until both
// copies agree (a host or proxy that changes what it serves is caught),
// parsed, and cleared of records whose names are unusable, repeat an
// earlier record's, or whose part lines do not cut the file as its size
// says. The fetch itself is handed in, so the rules are tested without a
// host.
class CrcInfoSource {
 public:
  // A host that never sends the same CRC info twice in a row fails the fetch
  // after this many disagreeing pairs of copies.
  static constexpr int kMaxPairs = 5;

  // Fetches one copy (zero bytes removed) and the host's status; false when
  // the run was stopped meanwhile.
  using FetchCopy = std::function<bool(std::string& copy, uint32_t& status)>;

  enum class Result {
    // `records` holds what may be used: empty when the copies never agreed
    // or the host gave nothing.
    kFetched,
    // The host answered 404: the release is gone.
    kGone,
    kStopped,
  };

  explicit CrcInfoSource(const ReleaseLayout& layout) : layout(layout) {}

  Result Fetch(const FetchCopy& fetch, ReleaseManifest& records);
  // Records of the last fetch that were left out, each with a log entry.
  size_t Dropped() const { return dropped; }

 private:
  // Records a log entry for each piece of the text that gives no record
  // (fewer than two lines); returns how many.
  size_t ReportPiecesWithoutRecord(const std::string& text) const;
  // Drops the unusable records, with a log entry for each, and gives each
  // kept one its local name; returns how many were dropped.
  size_t DropUnsafeRecords(ReleaseManifest& records) const;

  const ReleaseLayout& layout;
  size_t dropped = 0;
};
