#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "download/releaselayout.h"
#include "download/releasemanifest.h"
#include "net/hostpool.h"

// The release's CRC info as the run may use it: fetched twice until both
// copies agree (a host or proxy that changes what it serves is caught),
// parsed, and cleared of records whose names are unusable, repeat an
// earlier record's, or whose part lines do not cut the file as its size
// says. The fetch itself is handed in, so the rules are tested without a
// host.
//
// With several hosts the two copies come from two of them. When they
// differ, every host is asked, and asked again: a host whose copy changes
// is left out, and the copy most hosts serve is used. When two hosts each
// serve their own (a mirror a release behind, or a copy tampered with),
// one part where the copies differ is fetched from both and checked
// against both copies; the copy that more of the fetched parts match is
// used, and on a tie the first host's. Hosts whose copy is not the one
// used are left out of the run, so that no part is ever checked against
// another host's copy.
class CrcInfoSource {
 public:
  // A host that never sends the same CRC info twice in a row fails the fetch
  // after this many disagreeing pairs of copies.
  static constexpr int kMaxPairs = 5;

  // Fetches one copy (zero bytes removed) and the host's status; false when
  // the run was stopped meanwhile.
  // `host`: the index in the host pool.
  struct Copy {
    std::string text;
    uint32_t status = 0;
    // The host answered with a body; false after every try failed.
    bool received = false;
  };
  using FetchCopy = std::function<bool(size_t host, Copy& copy)>;
  // Part `part` of `record` as host `host` serves it: its CRC-32; false
  // when it could not be fetched or the run was stopped.
  using ProbePart =
      std::function<bool(size_t host, const ManifestFile& record, size_t part, uint32_t& crc)>;

  enum class Result {
    // `records` holds what may be used: empty when the copies never agreed
    // or the host gave nothing.
    kFetched,
    // The host answered 404: the release is gone.
    kGone,
    kStopped,
  };

  explicit CrcInfoSource(const ReleaseLayout& layout) : layout(layout) {}

  // `hosts` null or of one host: every copy from host 0.
  Result Fetch(const FetchCopy& fetch, ReleaseManifest& records, HostPool* hosts = nullptr,
               const ProbePart& probe = nullptr);
  // The text the records were taken from; empty when none was agreed.
  const std::string& Text() const { return text; }
  // Records of the last fetch that were left out, each with a log entry.
  size_t Dropped() const { return dropped; }

 private:
  Result FetchFromOne(const FetchCopy& fetch, ReleaseManifest& records);
  Result FetchFromMany(const FetchCopy& fetch, ReleaseManifest& records, HostPool& hosts,
                       const ProbePart& probe);
  // Which of two copies that two hosts serve steadily is used (see above);
  // false when neither is.
  bool Settle(HostPool& hosts, const ProbePart& probe, const std::string& first,
              size_t first_host, const std::string& second, size_t second_host,
              bool& use_second) const;
  // Takes `agreed` as the release's CRC info.
  void Accept(const std::string& agreed, ReleaseManifest& records);
  // Records a log entry for each piece of the text that gives no record
  // (fewer than two lines); returns how many.
  size_t ReportPiecesWithoutRecord(const std::string& text) const;
  // Drops the unusable records, with a log entry for each, and gives each
  // kept one its local name; returns how many were dropped.
  size_t DropUnsafeRecords(ReleaseManifest& records) const;

  const ReleaseLayout& layout;
  size_t dropped = 0;
  std::string text;
  // The last settling, kept for the run: the same two copies again (the
  // verification's fetch, the next attempt) are not settled again by
  // fetching their parts.
  struct Settled {
    std::string first;
    std::string second;
    bool decided = false;
    bool use_second = false;
  };
  mutable std::optional<Settled> settled;
};
